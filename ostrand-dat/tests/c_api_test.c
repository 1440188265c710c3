/* The C interface from C: an archive written through writer_c.h, then
 * every function of ostrand_dat_c.h on it, its failures and NULL pointers.
 * Usage: c_api_test SCRATCH_DIRECTORY */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h> /* unlink */

#include "ostrand_dat/ostrand_dat_c.h"
#include "ostrand_dat/writer_c.h"

static int failures = 0;
#define CHECK(cond)                                                  \
  do {                                                               \
    if (!(cond)) {                                                   \
      fprintf(stderr, "%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, \
              #cond);                                                \
      ++failures;                                                    \
    }                                                                \
  } while (0)

/* Checks a failed call's code and the start of its message, then frees it. */
static void check_status(ostrand_dat_status* status, int code,
                         const char* prefix, int line) {
  if (status->code != code || status->message == NULL ||
      strncmp(status->message, prefix, strlen(prefix)) != 0) {
    fprintf(stderr, "line %d: status %d \"%s\", expected %d \"%s...\"\n", line,
            status->code, status->message ? status->message : "(null)", code,
            prefix);
    ++failures;
  }
  ostrand_dat_free(status->message);
  status->message = NULL;
}
#define CHECK_STATUS(s, code, prefix) check_status(&(s), code, prefix, __LINE__)

static unsigned char* put_u32(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)v, p[1] = (unsigned char)(v >> 8);
  p[2] = (unsigned char)(v >> 16), p[3] = (unsigned char)(v >> 24);
  return p + 4;
}
static unsigned char* put_f32(unsigned char* p, float f) {
  uint32_t v;
  memcpy(&v, &f, 4);
  return put_u32(p, v);
}

/* Table 0x20000001: hash 9; kind 0x0E -> wave 0x0A000123 then 7; kind 0x58
 * with an empty list; kind 0x02 whose first wave is 0. */
static size_t sound_table(unsigned char* out) {
  unsigned char* p = put_u32(out, 0x20000001u);
  p = put_u32(p, (uint32_t)-5);
  p = put_u32(p, 1);
  p = put_u32(p, 9), p = put_f32(p, 1), p = put_f32(p, 0.5f), p = put_f32(p, 2);
  p = put_u32(p, 3);
  p = put_u32(p, 0x0E), p = put_u32(p, 2);
  p = put_u32(p, 0x0A000123u), p = put_f32(p, 0), p = put_f32(p, 1), p = put_f32(p, 1);
  p = put_u32(p, 7), p = put_f32(p, 0), p = put_f32(p, 0), p = put_f32(p, 0);
  p = put_u32(p, (uint32_t)-3);
  p = put_u32(p, 0x58), p = put_u32(p, 0), p = put_u32(p, 0);
  p = put_u32(p, 0x02), p = put_u32(p, 2);
  p = put_u32(p, 0), p = put_f32(p, 0), p = put_f32(p, 0), p = put_f32(p, 0);
  p = put_u32(p, 5), p = put_f32(p, 0), p = put_f32(p, 0), p = put_f32(p, 0);
  p = put_u32(p, 0);
  return (size_t)(p - out);
}

static int count_then_stop(void* context, const uint8_t* data, size_t size) {
  (void)data;
  *(size_t*)context += size;
  return 0;
}
static int append(void* context, const uint8_t* data, size_t size) {
  unsigned char** end = (unsigned char**)context;
  memcpy(*end, data, size);
  *end += size;
  return 1;
}

int main(int argc, char** argv) {
  static unsigned char big[300000], table_bytes[256], scratch[300000];
  char path[4096];
  ostrand_dat_status s = {0, 0, NULL};
  size_t table_size = sound_table(table_bytes), i, n;
  if (argc != 2) return fprintf(stderr, "usage: c_api_test DIR\n"), 2;
  snprintf(path, sizeof path, "%s/c_api_test.dat", argv[1]);
  for (i = 0; i < sizeof big; ++i) big[i] = (unsigned char)"abcdefg"[i % 7 + (i % 1000 == 0)];

  CHECK(strcmp(ostrand_dat_version(), EXPECTED_VERSION) == 0);
  { /* Writing: id, bytes, size, compressed. */
    ostrand_dat_writer_t* w = ostrand_dat_writer_new(256);
    CHECK(ostrand_dat_writer_add(w, 1, (const uint8_t*)"hello", 5, 0, &s) == 0);
    CHECK(ostrand_dat_writer_add(w, 2, big, sizeof big, 1, NULL) == 0);
    CHECK(ostrand_dat_writer_add(w, 3, NULL, 0, 0, NULL) == 0);
    CHECK(ostrand_dat_writer_add(w, 0x20000001u, table_bytes, table_size, 1, NULL) == 0);
    CHECK(ostrand_dat_writer_add(NULL, 1, NULL, 0, 0, &s) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK_STATUS(s, OSTRAND_DAT_INVALID_ARGUMENT, "InvalidArgument(\"writer");
    CHECK(ostrand_dat_writer_add(w, 1, NULL, 3, 0, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK(ostrand_dat_writer_write(w, "/nonexistent-dir/x.dat", &s) != 0);
    ostrand_dat_free(s.message);
    CHECK(ostrand_dat_writer_write(w, path, &s) == 0 && s.message == NULL);
    CHECK(ostrand_dat_writer_write(NULL, path, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    ostrand_dat_writer_free(w);
    ostrand_dat_writer_free(NULL);
  }

  { /* Opening, header, entries. */
    ostrand_dat_t* db = NULL;
    ostrand_dat_header h;
    ostrand_dat_entry entries[8], e;
    const uint32_t ids[] = {1, 2, 3, 0x20000001u};
    uint8_t* data = NULL;
    ostrand_dat_file_info info;
    uint64_t handed = 0;
    unsigned char* end = scratch;
    ostrand_dat_sound_table_t* t = NULL;
    ostrand_dat_reader_t* reader = NULL;

    CHECK(ostrand_dat_open(path, &db, &s) == 0 && db != NULL);
    CHECK(ostrand_dat_header_get(db, &h) == 0 && h.block_size == 256 && h.root_offset != 0);
    CHECK(ostrand_dat_count(db) == 4);
    CHECK(ostrand_dat_entries(db, 0, entries, 8) == 4);
    CHECK(ostrand_dat_entries(db, 3, entries + 4, 8) == 1 && entries[4].id == 0x20000001u);
    CHECK(ostrand_dat_entries(db, 4, entries, 8) == 0);
    for (i = 0; i < 4; ++i) CHECK(entries[i].id == ids[i] && ostrand_dat_contains(db, ids[i]));
    CHECK(entries[0].size == 5 && entries[0].bit_flags == 0 && (entries[1].bit_flags & 1));
    CHECK(!ostrand_dat_contains(db, 4) && !ostrand_dat_contains(NULL, 1));
    CHECK(ostrand_dat_find(db, 2, &e, NULL) == 0 && e.offset == entries[1].offset);
    CHECK(ostrand_dat_find(db, 9, &e, &s) == OSTRAND_DAT_NOT_FOUND);
    CHECK_STATUS(s, OSTRAND_DAT_NOT_FOUND, "NotFound(9)");

    /* Whole reads, into the library's memory and into ours. */
    CHECK(ostrand_dat_get_file(db, 2, 0, &data, &n, &s) == 0 && n == sizeof big &&
          memcmp(data, big, n) == 0);
    ostrand_dat_free(data);
    CHECK(ostrand_dat_get_file(db, 3, 0, &data, &n, NULL) == 0 && n == 0 && data == NULL);
    CHECK(ostrand_dat_get_file(db, 4, 0, &data, &n, &s) == OSTRAND_DAT_NOT_FOUND && data == NULL);
    CHECK_STATUS(s, OSTRAND_DAT_NOT_FOUND, "NotFound(4)");
    CHECK(ostrand_dat_file_info_get(db, 2, &info, NULL) == 0 && info.has_declared_size &&
          info.declared_size == sizeof big && info.size == sizeof big &&
          info.capacity == sizeof big && info.entry.size == entries[1].size);
    CHECK(ostrand_dat_file_info_get(db, 2, NULL, &s) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK_STATUS(s, OSTRAND_DAT_INVALID_ARGUMENT, "InvalidArgument(\"info is NULL");
    CHECK(ostrand_dat_file_info_get(db, 1, &info, NULL) == 0 && !info.has_declared_size &&
          info.size == 5 && info.capacity == 5);
    CHECK(ostrand_dat_file_info_get(db, 5, &info, &s) == OSTRAND_DAT_NOT_FOUND);
    CHECK_STATUS(s, OSTRAND_DAT_NOT_FOUND, "NotFound(5)");
    CHECK(ostrand_dat_get_file(db, 2, OSTRAND_DAT_READ_RAW, &data, &n, NULL) == 0 &&
          n == entries[1].size);
    ostrand_dat_free(data);
    CHECK(ostrand_dat_read_into(db, 2, 0, scratch, sizeof big, &n, NULL) == 0 &&
          n == sizeof big && memcmp(scratch, big, n) == 0);
    CHECK(ostrand_dat_read_into(db, 2, 0, scratch, sizeof big - 1, &n, &s) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK_STATUS(s, OSTRAND_DAT_INVALID_ARGUMENT, "InvalidArgument(\"the contents");
    CHECK(ostrand_dat_read_into(db, 3, 0, NULL, 0, &n, NULL) == 0 && n == 0);

    /* Streams: to the end, and stopped by the sink after one piece. */
    memset(scratch, 0, sizeof scratch);
    CHECK(ostrand_dat_read_file(db, 2, 0, append, &end, &handed, NULL) == 0 &&
          handed == sizeof big && end == scratch + sizeof big &&
          memcmp(scratch, big, sizeof big) == 0);
    n = 0;
    CHECK(ostrand_dat_read_file(db, 2, 0, count_then_stop, &n, &handed, NULL) == 0 &&
          n > 0 && n < sizeof big && handed == n);
    CHECK(ostrand_dat_read_file(db, 7, 0, append, &end, &handed, &s) == OSTRAND_DAT_NOT_FOUND);
    CHECK_STATUS(s, OSTRAND_DAT_NOT_FOUND, "NotFound(7)");

    /* Pulled in reads of 1000 bytes, then 0 at the end. */
    CHECK(ostrand_dat_open_file(db, 2, 0, &reader, NULL) == 0);
    for (handed = 0; ostrand_dat_reader_read(reader, scratch + handed, 1000, &n, NULL) == 0 && n > 0;)
      handed += n;
    CHECK(handed == sizeof big && memcmp(scratch, big, sizeof big) == 0 && n == 0);
    ostrand_dat_reader_close(reader);
    CHECK(ostrand_dat_open_file(db, 8, 0, &reader, &s) == OSTRAND_DAT_NOT_FOUND && reader == NULL);
    CHECK_STATUS(s, OSTRAND_DAT_NOT_FOUND, "NotFound(8)");

    /* Stored bytes: the compressed entry begins with its decoded size. */
    CHECK(ostrand_dat_read_file_data(db, entries[1].offset, entries[1].size, &data, &n, NULL) == 0 &&
          n == entries[1].size && data[0] == (sizeof big & 0xFF) && data[2] == (sizeof big >> 16));
    ostrand_dat_free(data);
    CHECK(ostrand_dat_read_file_data(db, entries[1].offset, 0x7FFFFFFF, &data, &n, &s) == OSTRAND_DAT_CORRUPTION);
    CHECK_STATUS(s, OSTRAND_DAT_CORRUPTION, "Corruption(");

    /* The sound table, through the archive. */
    CHECK(ostrand_dat_get_file(db, 0x20000001u, 0, &data, &n, NULL) == 0 && n == table_size);
    CHECK(ostrand_dat_sound_table_unpack(data, n, &t, NULL) == 0 && t != NULL);
    ostrand_dat_free(data);
    {
      uint32_t kinds[3], wave = 0;
      const uint32_t want_kinds[] = {0x02, 0x0E, 0x58};
      ostrand_dat_sound_entry list[2];
      ostrand_dat_sound_hash hash;
      int32_t unknown = 0;
      CHECK(ostrand_dat_sound_table_id(t) == 0x20000001u && ostrand_dat_sound_table_hash_key(t) == -5);
      CHECK(ostrand_dat_sound_table_kinds(t, NULL, 0) == 3 && ostrand_dat_sound_table_kinds(t, kinds, 3) == 3);
      for (i = 0; i < 3; ++i) CHECK(kinds[i] == want_kinds[i]);
      CHECK(ostrand_dat_sound_table_resolve(t, 0x0E, &wave) == 1 && wave == 0x0A000123u);
      CHECK(ostrand_dat_sound_table_resolve(t, 0x58, &wave) == 0);  /* empty list */
      CHECK(ostrand_dat_sound_table_resolve(t, 0x02, &wave) == 0);  /* first wave 0 */
      CHECK(ostrand_dat_sound_table_resolve(t, 0x99, &wave) == 0);  /* no such kind */
      CHECK(ostrand_dat_sound_table_entries(t, 0x0E, list, 2, &n, &unknown) == 0 && n == 2 &&
            unknown == -3 && list[1].wave_did == 7 && list[0].probability == 1.0f);
      CHECK(ostrand_dat_sound_table_entries(t, 0x58, list, 2, &n, NULL) == 0 && n == 0);
      CHECK(ostrand_dat_sound_table_entries(t, 0x99, list, 2, &n, NULL) == OSTRAND_DAT_NOT_FOUND);
      CHECK(ostrand_dat_sound_table_hashes(t, &hash, 1) == 1 && hash.key == 9 && hash.probability == 0.5f);
    }
    ostrand_dat_sound_table_free(t);
    CHECK(ostrand_dat_sound_table_unpack(table_bytes, 15, &t, &s) == OSTRAND_DAT_BIN_READ && t == NULL);
    CHECK_STATUS(s, OSTRAND_DAT_BIN_READ, "BinRead(failed to fill whole buffer)");
    ostrand_dat_close(db);

    { /* id 2 declaring 1000 bytes more than its stream holds: read short by
       * default, refused when strict. */
      FILE* f = fopen(path, "r+b");
      unsigned char prefix[4];
      CHECK(f != NULL && fseek(f, (long)entries[1].offset + 4, SEEK_SET) == 0);
      CHECK(fwrite(put_u32(prefix, sizeof big + 1000) - 4, 1, 4, f) == 4 && fclose(f) == 0);
    }
    CHECK(ostrand_dat_open(path, &db, NULL) == 0);
    CHECK(ostrand_dat_file_info_get(db, 2, &info, NULL) == 0 && info.declared_size == sizeof big + 1000);
    CHECK(ostrand_dat_read_into(db, 2, 0, scratch, sizeof scratch, &n, NULL) == 0 && n == sizeof big);
    CHECK(ostrand_dat_read_into(db, 2, OSTRAND_DAT_READ_STRICT, scratch, sizeof scratch, &n, &s) ==
          OSTRAND_DAT_DECOMPRESSION_FAILED);
    CHECK_STATUS(s, OSTRAND_DAT_DECOMPRESSION_FAILED, "DecompressionFailed(301000)");
    ostrand_dat_close(db);
  }

  { /* decompress_lrs: three literals, then 3 bytes from 3 back. */
    const uint8_t payload[] = {6, 0, 0, 0, 0x10, 'a', 'b', 'c', 3, 1};
    uint8_t* out = NULL;
    CHECK(ostrand_dat_decompress_lrs(payload, sizeof payload, &out, &n, NULL) == 0 &&
          n == 6 && memcmp(out, "abcabc", 6) == 0);
    ostrand_dat_free(out);
    CHECK(ostrand_dat_decompress_lrs(payload, 2, &out, &n, NULL) == 0 && n == 2 && out[1] == 0);
    ostrand_dat_free(out);
    CHECK(ostrand_dat_decompress_lrs(NULL, 0, &out, &n, NULL) == 0 && n == 0 && out == NULL);
    CHECK(ostrand_dat_decompress_lrs(NULL, 1, &out, &n, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
  }

  { /* Failures of opening and reading, and NULL everywhere. */
    ostrand_dat_t* db = (ostrand_dat_t*)&s;
    ostrand_dat_header h;
    uint8_t* data;
    ostrand_dat_file_info info;
    ostrand_dat_reader_t* reader;
    uint32_t wave;
    CHECK(ostrand_dat_open("/nonexistent.dat", &db, &s) == OSTRAND_DAT_PATH_ERROR && db == NULL &&
          s.os_errno == ENOENT);
    CHECK_STATUS(s, OSTRAND_DAT_PATH_ERROR, "PathError { path: \"/nonexistent.dat\"");
    /* A chain whose payload would start at the end of the file. */
    CHECK(ostrand_dat_open(path, &db, NULL) == 0 && ostrand_dat_header_get(db, &h) == 0);
    CHECK(ostrand_dat_read_file_data(db, h.file_size - 4, 8, &data, &n, &s) == OSTRAND_DAT_IO &&
          s.os_errno == 0);
    CHECK_STATUS(s, OSTRAND_DAT_IO, "Io(Error { kind: UnexpectedEof");
    ostrand_dat_close(db);
    ostrand_dat_close(NULL);
    CHECK(ostrand_dat_open(NULL, &db, &s) == OSTRAND_DAT_INVALID_ARGUMENT && db == NULL);
    CHECK_STATUS(s, OSTRAND_DAT_INVALID_ARGUMENT, "InvalidArgument(\"path is NULL\")");
    CHECK(ostrand_dat_open(path, NULL, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK(ostrand_dat_header_get(NULL, &h) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK(ostrand_dat_count(NULL) == 0 && ostrand_dat_entries(NULL, 0, NULL, 1) == 0);
    CHECK(ostrand_dat_find(NULL, 1, NULL, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK(ostrand_dat_file_info_get(NULL, 1, &info, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK(ostrand_dat_get_file(NULL, 1, 0, &data, &n, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK(ostrand_dat_read_into(NULL, 1, 0, NULL, 0, &n, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK(ostrand_dat_read_file(NULL, 1, 0, append, NULL, NULL, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK(ostrand_dat_read_file_data(NULL, 0, 0, &data, &n, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK(ostrand_dat_open_file(NULL, 1, 0, &reader, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK(ostrand_dat_reader_read(NULL, scratch, 1, &n, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    ostrand_dat_reader_close(NULL);
    CHECK(ostrand_dat_sound_table_unpack(NULL, 1, NULL, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK(ostrand_dat_sound_table_resolve(NULL, 1, &wave) == 0 && ostrand_dat_sound_table_id(NULL) == 0);
    CHECK(ostrand_dat_sound_table_kinds(NULL, NULL, 0) == 0 && ostrand_dat_sound_table_hashes(NULL, NULL, 0) == 0);
    CHECK(ostrand_dat_sound_table_entries(NULL, 1, NULL, 0, &n, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    ostrand_dat_sound_table_free(NULL);
    ostrand_dat_free(NULL);
  }

  { /* Each other pointer argument NULL in turn, on a real archive: refused,
     * naming the argument, before anything is read or written. */
    ostrand_dat_t* db = NULL;
    ostrand_dat_reader_t* reader = NULL;
    ostrand_dat_sound_table_t* t = NULL;
    uint8_t* data = NULL;
    uint64_t handed = 0;
    unsigned char* end = scratch;
    const uint8_t payload[] = {6, 0, 0, 0, 0x10, 'a', 'b', 'c', 3, 1};
    CHECK(ostrand_dat_open(path, &db, NULL) == 0);
    CHECK(ostrand_dat_open_file(db, 1, 0, &reader, NULL) == 0);
    {
      ostrand_dat_status st[14];
      const struct {
        int code;
        const char* name;
      } cases[14] = {
          {ostrand_dat_find(db, 1, NULL, &st[0]), "entry"},
          {ostrand_dat_get_file(db, 1, 0, NULL, &n, &st[1]), "data"},
          {ostrand_dat_get_file(db, 1, 0, &data, NULL, &st[2]), "data"},
          {ostrand_dat_read_into(db, 1, 0, scratch, 1, NULL, &st[3]), "size"},
          {ostrand_dat_read_into(db, 1, 0, NULL, 1, &n, &st[4]), "buffer"},
          {ostrand_dat_read_file(db, 1, 0, NULL, NULL, &handed, &st[5]), "sink"},
          {ostrand_dat_open_file(db, 1, 0, NULL, &st[6]), "reader"},
          {ostrand_dat_reader_read(reader, scratch, 1, NULL, &st[7]), "size"},
          {ostrand_dat_reader_read(reader, NULL, 1, &n, &st[8]), "buffer"},
          {ostrand_dat_read_file_data(db, 0, 0, NULL, &n, &st[9]), "data"},
          {ostrand_dat_read_file_data(db, 0, 0, &data, NULL, &st[10]), "data"},
          {ostrand_dat_decompress_lrs(payload, 1, NULL, &n, &st[11]), "output"},
          {ostrand_dat_decompress_lrs(payload, 1, &data, NULL, &st[12]), "output"},
          {ostrand_dat_sound_table_unpack(NULL, 1, &t, &st[13]), "data"},
      };
      char expected[64];
      for (i = 0; i < 14; ++i) {
        snprintf(expected, sizeof expected, "InvalidArgument(\"%s is NULL\")",
                 cases[i].name);
        CHECK(cases[i].code == OSTRAND_DAT_INVALID_ARGUMENT);
        check_status(&st[i], OSTRAND_DAT_INVALID_ARGUMENT, expected, (int)i);
      }
    }
    CHECK(t == NULL);
    CHECK(ostrand_dat_header_get(db, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK(ostrand_dat_entries(db, 0, NULL, 1) == 0);
    CHECK(ostrand_dat_sound_table_hash_key(NULL) == 0);
    CHECK(ostrand_dat_sound_table_unpack(table_bytes, table_size, &t, NULL) == 0);
    CHECK(ostrand_dat_sound_table_resolve(t, 0x0E, NULL) == 0);
    CHECK(ostrand_dat_sound_table_entries(t, 0x0E, NULL, 0, NULL, NULL) == OSTRAND_DAT_INVALID_ARGUMENT);
    CHECK(ostrand_dat_sound_table_entries(t, 0x0E, NULL, 0, &n, NULL) == 0 && n == 2);
    ostrand_dat_sound_table_free(t);
    /* A read whose count is not wanted, and an empty pull. */
    CHECK(ostrand_dat_read_file(db, 1, 0, append, &end, NULL, NULL) == 0 && end == scratch + 5);
    CHECK(ostrand_dat_reader_read(reader, NULL, 0, &n, NULL) == 0 && n == 0);
    ostrand_dat_reader_close(reader);
    ostrand_dat_close(db);
  }
  unlink(path);
  if (failures == 0) puts("c_api_test: all checks passed");
  return failures == 0 ? 0 : 1;
}
