/* The consumer in C, through ostrand_dat_c.h only: lists the archive (the
 * number of entries and of compressed ones, read in batches), then reads a
 * sound table and resolves one kind. The README's "From C" example.
 *   consumer_c ARCHIVE TABLE_ID KIND     (numbers in decimal or 0x hex) */
#include <stdio.h>
#include <stdlib.h>

#include "ostrand_dat/ostrand_dat_c.h"

static int report(ostrand_dat_status* status) {
  fprintf(stderr, "error %d: %s\n", status->code, status->message);
  ostrand_dat_free(status->message);
  return 1;
}

int main(int argc, char** argv) {
  ostrand_dat_t* archive;
  ostrand_dat_sound_table_t* table;
  ostrand_dat_status status;
  ostrand_dat_entry batch[256];
  size_t files = 0, compressed = 0, n, i, size;
  uint8_t* bytes;
  uint32_t table_id, kind, wave;
  if (argc != 4) return fprintf(stderr, "usage: %s ARCHIVE TABLE_ID KIND\n", argv[0]), 2;
  table_id = (uint32_t)strtoul(argv[2], NULL, 0);
  kind = (uint32_t)strtoul(argv[3], NULL, 0);

  if (ostrand_dat_open(argv[1], &archive, &status) != 0) return report(&status);
  while ((n = ostrand_dat_entries(archive, files, batch, 256)) > 0) {
    for (i = 0; i < n; ++i) compressed += batch[i].bit_flags & 1;
    files += n;
  }
  if (ostrand_dat_get_file(archive, table_id, 0, &bytes, &size, &status) == 0) {
    ostrand_dat_sound_table_unpack(bytes, size, &table, &status);
    ostrand_dat_free(bytes);
  }
  if (status.code != OSTRAND_DAT_OK) {
    ostrand_dat_close(archive);
    return report(&status);
  }
  printf("ostrand_dat %s: %zu files, kind 0x%02X -> ", ostrand_dat_version(),
         files, (unsigned)kind);
  if (ostrand_dat_sound_table_resolve(table, kind, &wave)) {
    printf("Some(%u)\n", (unsigned)wave);
  } else {
    printf("None\n");
  }
  fprintf(stderr, "%zu of them compressed\n", compressed);
  ostrand_dat_sound_table_free(table);
  ostrand_dat_close(archive);
  return 0;
}
