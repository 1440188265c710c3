// The Python package's shared library: the archive library and its writer
// linked whole, with their C interface as its only exported symbols
// (exports.map). The package reaches it through ctypes.
#include "ostrand_dat/ostrand_dat_c.h"
#include "ostrand_dat/writer_c.h"
