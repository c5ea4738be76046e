#pragma once

namespace pairdot {

// Y role: sends the own vector to rank + 1, tagged with rank.
void send_to_partner(const int *vec, int rank);

// X role: receives the vector of rank - 1 (tag rank - 1) into a zeroed
// buffer, then prints the result line with the dot product.
void receive_and_report(const int *vec, int rank);

} // namespace pairdot
