/* Writing archives from C: files added by id, then the archive written in
 * one go. Part of the writer library (ostrand_dat_writer); errors as in
 * ostrand_dat_c.h. A writer belongs to one thread at a time. */
#ifndef OSTRAND_DAT_WRITER_C_H_
#define OSTRAND_DAT_WRITER_C_H_

#include <stddef.h>
#include <stdint.h>

#include "ostrand_dat/ostrand_dat_c.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ostrand_dat_writer_t ostrand_dat_writer_t;

/* A writer of archives with blocks of `block_size` bytes (5 or more, the
 * next-block pointer included); NULL when memory runs out. */
OSTRAND_DAT_C_API ostrand_dat_writer_t* ostrand_dat_writer_new(
    uint32_t block_size);
/* NULL is ignored. */
OSTRAND_DAT_C_API void ostrand_dat_writer_free(ostrand_dat_writer_t* writer);
/* Adds file `id` (replacing an earlier one), stored compressed when
 * `compress` is nonzero. `data` may be NULL when `size` is 0. */
OSTRAND_DAT_C_API int ostrand_dat_writer_add(ostrand_dat_writer_t* writer,
                                             uint32_t id, const uint8_t* data,
                                             size_t size, int compress,
                                             ostrand_dat_status* status);
/* Writes the archive to `path`, replacing what it held. */
OSTRAND_DAT_C_API int ostrand_dat_writer_write(
    const ostrand_dat_writer_t* writer, const char* path,
    ostrand_dat_status* status);

#ifdef __cplusplus
}
#endif

#endif /* OSTRAND_DAT_WRITER_C_H_ */
