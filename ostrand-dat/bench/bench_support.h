// Inputs for the benchmarks, made at run time in a directory of this
// process's own: real data (tars of system folders) and archives whose
// directories list many entries. Nothing here is committed as a fixture.
#ifndef OSTRAND_DAT_BENCH_BENCH_SUPPORT_H_
#define OSTRAND_DAT_BENCH_BENCH_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat::bench {

// A fresh temporary directory, removed with its contents at exit.
const std::filesystem::path& scratch_dir();

// Kinds of real data, which compress and decode differently:
//  - kText: a tar of /usr/include (OSTRAND_BENCH_TAR);
//  - kExecutables: a tar of /usr/bin (OSTRAND_BENCH_EXE_TAR);
//  - kMixed: 4 MiB each of tars of /usr/share/locale, /usr/share/icons,
//    /usr/lib/python3 and /usr/share/man (OSTRAND_BENCH_MIXED_TAR).
enum class DataKind { kText, kExecutables, kMixed };

// The first `limit` bytes of real data of a kind, made once per process (or
// read from the file named by the kind's variable, so that a script can
// measure other tools on the very same bytes). Repeated when shorter.
std::vector<std::byte> real_data(std::size_t limit,
                                 DataKind kind = DataKind::kText);

// Distinct ids spread over the whole u32 range, in no particular order.
inline std::uint32_t spread_id(std::uint32_t i) { return i * 2654435761u; }

// The bytes of an archive whose directory lists `entries` empty files with
// ids spread_id(0), spread_id(1), ..., as the archive writer lays it out.
std::vector<std::byte> directory_archive(std::uint32_t entries,
                                         std::uint32_t block_size);

// The open archive at `path`; ends the process with a message on failure.
DatDatabase open_or_die(const std::filesystem::path& path);

// Writes `bytes` to `path`; ends the process with a message on failure.
void write_or_die(const std::filesystem::path& path,
                  const std::vector<std::byte>& bytes);

}  // namespace ostrand_dat::bench

#endif  // OSTRAND_DAT_BENCH_BENCH_SUPPORT_H_
