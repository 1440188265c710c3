/* The archive library for C and for other languages' foreign function
 * interfaces: opaque handles, plain structs, and status codes with the
 * error's text. C99; every function checks its pointers and never aborts,
 * exits, prints or lets an exception out.
 *
 * Errors: each fallible function returns an ostrand_dat_code, 0 on success.
 * When `status` is not NULL it receives the code, the system error number
 * and the error's debug form (`NotFound(7)`), which the caller releases with
 * ostrand_dat_free(status->message). Memory the library hands out is
 * released with ostrand_dat_free.
 *
 * Threads: an open archive is only read, so any number of threads may read
 * from one handle at once. A sound table is immutable once unpacked. A
 * reader (ostrand_dat_open_file) is used by one thread at a time. */
#ifndef OSTRAND_DAT_OSTRAND_DAT_C_H_
#define OSTRAND_DAT_OSTRAND_DAT_C_H_

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define OSTRAND_DAT_C_API __attribute__((visibility("default")))
#else
#define OSTRAND_DAT_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The error kinds, numbered by their position (these numbers never
 * change), and the failures of the C interface itself. */
typedef enum {
  OSTRAND_DAT_OK = 0,
  OSTRAND_DAT_IO = 1,
  OSTRAND_DAT_BIN_READ = 2,
  OSTRAND_DAT_NOT_FOUND = 3,
  OSTRAND_DAT_DUPLICATE_ID = 4,
  OSTRAND_DAT_DUPLICATE_NAMESPACED_ID = 5,
  OSTRAND_DAT_INVALID_MAGIC = 6,
  OSTRAND_DAT_UNSUPPORTED_VERSION = 7,
  OSTRAND_DAT_INVALID_NAMESPACE = 8,
  OSTRAND_DAT_CORRUPTION = 9,
  OSTRAND_DAT_DECOMPRESSION_FAILED = 10,
  OSTRAND_DAT_PATH_ERROR = 11,
  OSTRAND_DAT_OTHER = 12,
  /* A NULL pointer where one is not allowed, or an argument out of range. */
  OSTRAND_DAT_INVALID_ARGUMENT = 100,
  /* Memory ran out. */
  OSTRAND_DAT_OUT_OF_MEMORY = 101
} ostrand_dat_code;

typedef struct {
  int code;       /* an ostrand_dat_code */
  int os_errno;   /* the system's error number (Io, PathError), else 0 */
  char* message;  /* the error's debug form, or NULL; ostrand_dat_free it */
} ostrand_dat_status;

typedef struct ostrand_dat_t ostrand_dat_t;
typedef struct ostrand_dat_sound_table_t ostrand_dat_sound_table_t;
typedef struct ostrand_dat_reader_t ostrand_dat_reader_t;

/* The header's seventeen fields; version_string is raw bytes, not text. */
typedef struct {
  uint32_t magic, block_size, file_size, dataset, subset, free_head,
      free_tail, free_count, root_offset, new_lru, old_lru, use_lru,
      master_map_id, engine_version, game_version;
  uint8_t version_string[16];
  uint32_t version_minor;
} ostrand_dat_header;

/* One directory entry. Bit 0 of bit_flags: the stored bytes are
 * compressed. */
typedef struct {
  uint32_t id, bit_flags, offset, size, timestamp, version;
} ostrand_dat_entry;

typedef struct {
  uint32_t wave_did; /* 0: no wave */
  float priority, probability, volume;
} ostrand_dat_sound_entry;

typedef struct {
  uint32_t key;
  float priority, probability, volume;
} ostrand_dat_sound_hash;

/* Receives a file's contents in consecutive pieces, each valid only during
 * the call; returns nonzero to go on, 0 to stop the read there. */
typedef int (*ostrand_dat_sink)(void* context, const uint8_t* data,
                                size_t size);

/* "MAJOR.MINOR.PATCH" of the library linked; a static string. */
OSTRAND_DAT_C_API const char* ostrand_dat_version(void);
/* Releases memory the library handed out; NULL is ignored. */
OSTRAND_DAT_C_API void ostrand_dat_free(void* memory);

/* Opens `path` read-only and loads its directory into *archive. */
OSTRAND_DAT_C_API int ostrand_dat_open(const char* path,
                                       ostrand_dat_t** archive,
                                       ostrand_dat_status* status);
/* Closes the archive; NULL is ignored. */
OSTRAND_DAT_C_API void ostrand_dat_close(ostrand_dat_t* archive);

OSTRAND_DAT_C_API int ostrand_dat_header_get(const ostrand_dat_t* archive,
                                             ostrand_dat_header* header);
/* The number of entries; 0 for NULL. */
OSTRAND_DAT_C_API size_t ostrand_dat_count(const ostrand_dat_t* archive);
/* Copies up to `capacity` entries, ids ascending, from the `first`-th on;
 * returns how many it copied (0 past the end or for NULL pointers). */
OSTRAND_DAT_C_API size_t ostrand_dat_entries(const ostrand_dat_t* archive,
                                             size_t first,
                                             ostrand_dat_entry* entries,
                                             size_t capacity);
/* 1 when the directory holds `id`, else 0. */
OSTRAND_DAT_C_API int ostrand_dat_contains(const ostrand_dat_t* archive,
                                           uint32_t id);
/* The entry of `id`; OSTRAND_DAT_NOT_FOUND when there is none. */
OSTRAND_DAT_C_API int ostrand_dat_find(const ostrand_dat_t* archive,
                                       uint32_t id, ostrand_dat_entry* entry,
                                       ostrand_dat_status* status);

/* What the directory and a compressed entry's 4-byte prefix say about a
 * file, without reading the rest of it. */
typedef struct {
  ostrand_dat_entry entry;
  int has_declared_size;  /* a compressed entry of 4 stored bytes or more */
  uint32_t declared_size; /* the output size its prefix declares */
  uint32_t size;          /* the declared size, else the stored size */
  /* Room that always holds the contents: `size`, capped at what the stored
   * bytes can decode to (a damaged prefix may declare up to 4 GiB). */
  uint64_t capacity;
} ostrand_dat_file_info;

/* Read options, or'ed: the stored bytes as they lie in the chain; a
 * compressed stream that ends before its declared size fails with
 * OSTRAND_DAT_DECOMPRESSION_FAILED (by default it reads short). */
enum { OSTRAND_DAT_READ_RAW = 1, OSTRAND_DAT_READ_STRICT = 2 };

/* The file's entry and sizes; reads at most its 4-byte prefix. */
OSTRAND_DAT_C_API int ostrand_dat_file_info_get(const ostrand_dat_t* archive,
                                                uint32_t id,
                                                ostrand_dat_file_info* info,
                                                ostrand_dat_status* status);
/* The contents of file `id`, decompressed when its entry says so, in
 * memory the library allocates (*data is NULL for an empty file). */
OSTRAND_DAT_C_API int ostrand_dat_get_file(const ostrand_dat_t* archive,
                                           uint32_t id, unsigned options,
                                           uint8_t** data, size_t* size,
                                           ostrand_dat_status* status);
/* The contents of file `id` into the caller's `buffer`; *size gets their
 * length. Contents longer than `capacity` fail with
 * OSTRAND_DAT_INVALID_ARGUMENT (the file info's capacity always
 * suffices). */
OSTRAND_DAT_C_API int ostrand_dat_read_into(const ostrand_dat_t* archive,
                                            uint32_t id, unsigned options,
                                            void* buffer, size_t capacity,
                                            size_t* size,
                                            ostrand_dat_status* status);
/* Streams file `id` into `sink`: the bytes ostrand_dat_get_file gives, in
 * pieces, in a few hundred KiB of memory. *handed (may be NULL) gets the
 * bytes handed on, also on failure. */
OSTRAND_DAT_C_API int ostrand_dat_read_file(const ostrand_dat_t* archive,
                                            uint32_t id, unsigned options,
                                            ostrand_dat_sink sink,
                                            void* context, uint64_t* handed,
                                            ostrand_dat_status* status);
/* File `id` for reading by pulling its bytes: the bytes ostrand_dat_get_file
 * gives with the same options, in a few hundred KiB of memory. The reader
 * borrows the archive, which must stay open until the reader is closed.
 * NotFound when there is no such id; nothing is read until the first read. */
OSTRAND_DAT_C_API int ostrand_dat_open_file(const ostrand_dat_t* archive,
                                            uint32_t id, unsigned options,
                                            ostrand_dat_reader_t** reader,
                                            ostrand_dat_status* status);
/* Up to `capacity` next bytes into `buffer`, *size how many: fewer only at
 * the end (0 from then on) or right before a failure, which the next call
 * returns. */
OSTRAND_DAT_C_API int ostrand_dat_reader_read(ostrand_dat_reader_t* reader,
                                              void* buffer, size_t capacity,
                                              size_t* size,
                                              ostrand_dat_status* status);
/* NULL is ignored. */
OSTRAND_DAT_C_API void ostrand_dat_reader_close(ostrand_dat_reader_t* reader);

/* The `size` stored bytes of the block chain at `offset`. */
OSTRAND_DAT_C_API int ostrand_dat_read_file_data(const ostrand_dat_t* archive,
                                                 uint32_t offset, uint32_t size,
                                                 uint8_t** data,
                                                 size_t* data_size,
                                                 ostrand_dat_status* status);

/* Decodes a compressed payload (a 4-byte size prefix, then the stream);
 * never fails on its bytes. */
OSTRAND_DAT_C_API int ostrand_dat_decompress_lrs(const uint8_t* input,
                                                 size_t input_size,
                                                 uint8_t** output,
                                                 size_t* output_size,
                                                 ostrand_dat_status* status);

/* Decodes a sound table from the bytes of its file. */
OSTRAND_DAT_C_API int ostrand_dat_sound_table_unpack(
    const uint8_t* data, size_t size, ostrand_dat_sound_table_t** table,
    ostrand_dat_status* status);
/* NULL is ignored. */
OSTRAND_DAT_C_API void ostrand_dat_sound_table_free(
    ostrand_dat_sound_table_t* table);
/* The table's stored id and hash_key; 0 for NULL. */
OSTRAND_DAT_C_API uint32_t
ostrand_dat_sound_table_id(const ostrand_dat_sound_table_t* table);
OSTRAND_DAT_C_API int32_t
ostrand_dat_sound_table_hash_key(const ostrand_dat_sound_table_t* table);
/* 1 and *wave when `kind` resolves (its first entry's wave_did, not 0),
 * else 0. */
OSTRAND_DAT_C_API int ostrand_dat_sound_table_resolve(
    const ostrand_dat_sound_table_t* table, uint32_t kind, uint32_t* wave);
/* The table's kinds, ascending: copies up to `capacity` into `kinds` (may
 * be NULL when `capacity` is 0) and returns how many there are. */
OSTRAND_DAT_C_API size_t ostrand_dat_sound_table_kinds(
    const ostrand_dat_sound_table_t* table, uint32_t* kinds, size_t capacity);
/* The entries held for `kind`: copies up to `capacity` into `entries`,
 * sets *count to how many there are and *unknown (may be NULL) to its
 * `unknown`. OSTRAND_DAT_NOT_FOUND when the table has no such kind. */
OSTRAND_DAT_C_API int ostrand_dat_sound_table_entries(
    const ostrand_dat_sound_table_t* table, uint32_t kind,
    ostrand_dat_sound_entry* entries, size_t capacity, size_t* count,
    int32_t* unknown);
/* The hash records, keys ascending, as ostrand_dat_sound_table_kinds. */
OSTRAND_DAT_C_API size_t ostrand_dat_sound_table_hashes(
    const ostrand_dat_sound_table_t* table, ostrand_dat_sound_hash* hashes,
    size_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* OSTRAND_DAT_OSTRAND_DAT_C_H_ */
