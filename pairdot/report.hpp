#pragma once

namespace pairdot {

// Vector line headers: X role (odd rank) and Y role (even rank).
constexpr const char *x_header = "\nProcessX %d : \t\t";
constexpr const char *y_header = "\nProcessY %d : \t\t";

// Writes the header with rank, then draws veclen values (rand() % 5) into
// vec, printing each as it is drawn, then ends the line.
void print_vector_line(const char *header, int rank, int *vec);

// Writes the result line of the pair (rank - 1, rank).
void print_result_line(int rank, int dot);

} // namespace pairdot
