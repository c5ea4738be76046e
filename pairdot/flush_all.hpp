#pragma once

namespace pairdot {

// Flushes every open output stream.
void flush_all();

} // namespace pairdot
