// The writer's C interface over ArchiveWriter.
#include "ostrand_dat/writer_c.h"

#include <new>
#include <utility>
#include <vector>

#include "c_status.h"
#include "ostrand_dat/writer.h"

struct ostrand_dat_writer_t {
  ostrand_dat::ArchiveWriter writer;
};

using namespace ostrand_dat;
using namespace ostrand_dat::c_api;

extern "C" {

ostrand_dat_writer_t* ostrand_dat_writer_new(uint32_t block_size) {
  return new (std::nothrow) ostrand_dat_writer_t{ArchiveWriter(block_size)};
}

void ostrand_dat_writer_free(ostrand_dat_writer_t* writer) { delete writer; }

int ostrand_dat_writer_add(ostrand_dat_writer_t* writer, uint32_t id,
                           const uint8_t* data, size_t size, int compress,
                           ostrand_dat_status* status) {
  if (writer == nullptr) return null_argument(status, "writer");
  if (data == nullptr && size > 0) return null_argument(status, "data");
  try {
    const auto* bytes = reinterpret_cast<const std::byte*>(data);
    StoredFile file;
    file.id = id;
    file.data.assign(bytes, bytes + size);
    file.compress = compress != 0;
    writer->writer.add(std::move(file));
    return ok(status);
  } catch (const std::bad_alloc&) {
    return out_of_memory(status);
  }
}

int ostrand_dat_writer_write(const ostrand_dat_writer_t* writer,
                             const char* path, ostrand_dat_status* status) {
  if (writer == nullptr) return null_argument(status, "writer");
  if (path == nullptr) return null_argument(status, "path");
  try {
    auto written = writer->writer.write(path);
    if (!written) return fail(status, written.error());
    return ok(status);
  } catch (const std::bad_alloc&) {
    return out_of_memory(status);
  }
}

}  // extern "C"
