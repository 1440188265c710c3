#include "portal/description.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <map>
#include <span>
#include <system_error>

#include "gt-terminal-standin/answer_table.h"

namespace portal_sample {
namespace {

using gt_standin::parse_u32;
using gt_standin::quote_for_message;
using ostrand_dat::file_type::SoundEntry;
using ostrand_dat::file_type::SoundHashData;

constexpr std::string_view kBlank = " \t";
// The writer needs 4 bytes of next-block pointer and at least one of payload.
constexpr std::uint32_t kMinBlockSize = 5;

std::string hex_id(std::uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", id);
  return text;
}

// The line without its comment: '#' at the start or after a blank.
std::string_view strip_comment(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '#' && (i == 0 || kBlank.find(line[i - 1]) != kBlank.npos)) {
      return line.substr(0, i);
    }
  }
  return line;
}

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  while (true) {
    const std::size_t start = text.find_first_not_of(kBlank);
    if (start == std::string_view::npos) return words;
    text.remove_prefix(start);
    const std::size_t end = std::min(text.find_first_of(kBlank), text.size());
    words.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
}

// A u32 as parse_u32 reads it, or the text of what is wrong with it.
std::expected<std::uint32_t, std::string> u32(std::string_view text,
                                              std::string_view what) {
  if (auto value = parse_u32(text)) return *value;
  return std::unexpected(std::string(what) + " " + quote_for_message(text) +
                         " is not a decimal or 0x-hexadecimal u32");
}

// Decimal with an optional '-', or 0x-hexadecimal taken as the 32 bits.
std::expected<std::int32_t, std::string> i32(std::string_view text,
                                             std::string_view what) {
  constexpr std::uint32_t kMax = std::numeric_limits<std::int32_t>::max();
  const bool negative = text.starts_with('-');
  const std::string_view digits = negative ? text.substr(1) : text;
  auto value = parse_u32(digits);
  const bool hex = digits.starts_with("0x") || digits.starts_with("0X");
  if (value && !hex && *value <= kMax + std::uint32_t{negative}) {
    return negative ? static_cast<std::int32_t>(-std::int64_t{*value})
                    : static_cast<std::int32_t>(*value);
  }
  if (value && hex && !negative) return static_cast<std::int32_t>(*value);
  return std::unexpected(std::string(what) + " " + quote_for_message(text) +
                         " is not an i32 (decimal, or 0x-hexadecimal bits)");
}

std::expected<float, std::string> f32(std::string_view text,
                                      std::string_view what) {
  float value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (!text.empty() && error == std::errc() && stop == end) return value;
  return std::unexpected(std::string(what) + " " + quote_for_message(text) +
                         " is not a decimal number");
}

// PRIORITY, PROBABILITY and VOLUME from the first three of `words` into
// the fields of those names, which hash records and entries share.
template <typename Weighted>
std::expected<void, std::string> read_weights(
    std::span<const std::string_view> words, Weighted& out) {
  float* fields[] = {&out.priority, &out.probability, &out.volume};
  const char* names[] = {"priority", "probability", "volume"};
  for (std::size_t i = 0; i < 3; ++i) {
    auto value = f32(words[i], names[i]);
    if (!value) return std::unexpected(value.error());
    *fields[i] = *value;
  }
  return {};
}

// WAVE, or WAVE/PRIORITY/PROBABILITY/VOLUME.
std::expected<SoundEntry, std::string> entry(std::string_view text) {
  std::vector<std::string_view> parts;
  for (std::string_view rest = text;;) {
    const std::size_t slash = rest.find('/');
    parts.push_back(rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  if (parts.size() != 1 && parts.size() != 4) {
    return std::unexpected("entry " + quote_for_message(text) +
                           " is neither WAVE nor "
                           "WAVE/PRIORITY/PROBABILITY/VOLUME");
  }
  auto wave = u32(parts[0], "wave");
  if (!wave) return std::unexpected(wave.error());
  SoundEntry result{*wave, 0, 1, 1};
  if (parts.size() == 4) {
    auto weights = read_weights(std::span(parts).subspan(1), result);
    if (!weights) return std::unexpected(weights.error());
  }
  return result;
}

// Reads the description line by line into `out`; one instance per text.
class Reader {
 public:
  explicit Reader(Description& out) : out_(out) {}

  // One line, comment already removed and split into words (at least one);
  // `text` is the same line unsplit, for the `text` directive.
  std::expected<void, std::string> line(std::size_t number,
                                        const std::vector<std::string_view>& w,
                                        std::string_view text) {
    number_ = number;
    const std::string_view directive = w[0];
    if (directive == "hash" || directive == "sound") {
      if (table_ == nullptr) {
        return std::unexpected(std::string(directive) +
                               " outside a table: put it after a table line");
      }
      return directive == "hash" ? hash(w) : sound(w);
    }
    table_ = nullptr;
    if (directive == "block-size") return block_size(w);
    if (directive == "table") return table(w);
    if (directive == "waves") return waves(w);
    if (directive == "text") return text_file(w, text);
    if (directive == "drift") return drift(w);
    return std::unexpected("unknown directive " + quote_for_message(directive) +
                           "; expected block-size, table, hash, sound, "
                           "waves, text or drift");
  }

  std::expected<void, std::string> finish() const {
    if (out_.block_size == 0) {
      return std::unexpected(std::string("no block-size line"));
    }
    return {};
  }

 private:
  using Words = std::vector<std::string_view>;

  static std::unexpected<std::string> usage(std::string_view form) {
    return std::unexpected("expected " + std::string(form));
  }

  // Records that `id` is described here, once.
  std::expected<void, std::string> claim(std::uint32_t id) {
    if (out_.block_size == 0) {
      return std::unexpected(std::string("block-size must come before files"));
    }
    auto [it, added] = ids_.emplace(id, number_);
    if (!added) {
      return std::unexpected("file " + hex_id(id) +
                             " is already described at line " +
                             std::to_string(it->second));
    }
    return {};
  }

  std::expected<void, std::string> block_size(const Words& w) {
    if (w.size() != 2) return usage("block-size N");
    if (out_.block_size != 0) {
      return std::unexpected(std::string("block-size given twice"));
    }
    if (!ids_.empty()) {
      return std::unexpected(std::string("block-size must come before files"));
    }
    auto size = u32(w[1], "block size");
    if (!size) return std::unexpected(size.error());
    if (*size < kMinBlockSize) {
      return std::unexpected("block size " + std::to_string(*size) +
                             " leaves no room after the 4-byte next-block "
                             "pointer; use 5 or more");
    }
    out_.block_size = *size;
    return {};
  }

  std::expected<void, std::string> table(const Words& w) {
    if (w.size() < 2) return usage("table ID [compressed] [hash-key=N]");
    auto id = u32(w[1], "table id");
    if (!id) return std::unexpected(id.error());
    TableDescription table;
    table.id = *id;
    for (std::size_t i = 2; i < w.size(); ++i) {
      if (w[i] == "compressed") {
        table.compress = true;
      } else if (w[i].starts_with("hash-key=")) {
        auto key = i32(w[i].substr(9), "hash key");
        if (!key) return std::unexpected(key.error());
        table.hash_key = *key;
      } else {
        return std::unexpected("unknown table option " +
                               quote_for_message(w[i]) +
                               "; expected compressed or hash-key=N");
      }
    }
    if (auto claimed = claim(*id); !claimed) return claimed;
    out_.tables.push_back(std::move(table));
    table_ = &out_.tables.back();
    return {};
  }

  std::expected<void, std::string> hash(const Words& w) {
    if (w.size() != 5) return usage("hash KEY PRIORITY PROBABILITY VOLUME");
    auto key = u32(w[1], "hash key");
    if (!key) return std::unexpected(key.error());
    SoundHashData data;
    auto weights = read_weights(std::span(w).subspan(2), data);
    if (!weights) return std::unexpected(weights.error());
    table_->hashes.emplace_back(*key, data);
    return {};
  }

  std::expected<void, std::string> sound(const Words& w) {
    if (w.size() < 2) return usage("sound KIND [unknown=N] ENTRY...");
    auto kind = u32(w[1], "sound kind");
    if (!kind) return std::unexpected(kind.error());
    SoundRecord record{.kind = *kind, .data = {}, .line = number_};
    bool unknown_given = false;
    for (std::size_t i = 2; i < w.size(); ++i) {
      if (w[i].starts_with("unknown=")) {
        if (unknown_given) {
          return std::unexpected(std::string("unknown= given twice"));
        }
        auto unknown = i32(w[i].substr(8), "unknown");
        if (!unknown) return std::unexpected(unknown.error());
        record.data.unknown = *unknown;
        unknown_given = true;
        continue;
      }
      auto parsed = entry(w[i]);
      if (!parsed) return std::unexpected(parsed.error());
      record.data.entries.push_back(*parsed);
    }
    table_->sounds.push_back(std::move(record));
    return {};
  }

  std::expected<void, std::string> waves(const Words& w) {
    if (w.size() < 3 || w.size() > 4 ||
        (w.size() == 4 && w[3] != "compressed")) {
      return usage("waves FIRST LAST [compressed]");
    }
    auto first = u32(w[1], "first wave");
    if (!first) return std::unexpected(first.error());
    auto last = u32(w[2], "last wave");
    if (!last) return std::unexpected(last.error());
    if (*last < *first) {
      return std::unexpected("last wave " + hex_id(*last) +
                             " comes before first wave " + hex_id(*first));
    }
    if (*last - *first >= kMaxWavesPerLine) {
      return std::unexpected("more than " + std::to_string(kMaxWavesPerLine) +
                             " waves on one line");
    }
    // Invariant: ids first..id-1 are described; the bound check above keeps
    // id from wrapping.
    for (std::uint64_t id = *first; id <= *last; ++id) {
      const auto wave = static_cast<std::uint32_t>(id);
      if (auto claimed = claim(wave); !claimed) return claimed;
      out_.files.push_back({wave, wave_stub(wave), w.size() == 4});
    }
    return {};
  }

  std::expected<void, std::string> text_file(const Words& w,
                                             std::string_view line) {
    if (w.size() < 3) return usage("text ID [compressed] TEXT");
    auto id = u32(w[1], "text id");
    if (!id) return std::unexpected(id.error());
    const bool compress = w[2] == "compressed";
    if (compress && w.size() < 4) return usage("text ID [compressed] TEXT");
    // TEXT runs from its first word to the end of the line.
    const std::string_view& start = w[compress ? 3 : 2];
    std::string_view body = line.substr(start.data() - line.data());
    body = body.substr(0, body.find_last_not_of(kBlank) + 1);
    if (auto claimed = claim(*id); !claimed) return claimed;
    out_.files.push_back({*id, std::string(body) + "\n", compress});
    return {};
  }

  std::expected<void, std::string> drift(const Words& w) {
    if (w.size() != 4) return usage("drift TABLE KIND WAVE|null");
    auto table_id = u32(w[1], "table id");
    if (!table_id) return std::unexpected(table_id.error());
    auto kind = u32(w[2], "sound kind");
    if (!kind) return std::unexpected(kind.error());
    DriftDescription drift{
        .table_id = *table_id, .sound = *kind, .wave = {}, .line = number_};
    if (w[3] != "null") {
      auto wave = u32(w[3], "wave");
      if (!wave) return std::unexpected(wave.error());
      drift.wave = *wave;
    }
    out_.drifts.push_back(drift);
    return {};
  }

  Description& out_;
  std::size_t number_ = 0;
  // The table that hash and sound lines add to; out_.tables only grows
  // while it is set, and each growth resets it.
  TableDescription* table_ = nullptr;
  std::map<std::uint32_t, std::size_t> ids_;  // file id -> line
};

}  // namespace

std::string wave_stub(std::uint32_t id) {
  return "synthetic wave " + hex_id(id) + "\n";
}

std::expected<Description, std::string> parse_description(
    std::string_view text, std::string_view name) {
  Description description;
  Reader reader(description);
  std::size_t number = 0;
  auto failure = [&](const std::string& what) {
    return std::unexpected(std::string(name) + ":" + std::to_string(number) +
                           ": " + what);
  };
  // Invariant: `text` holds the lines after line `number`.
  while (!text.empty()) {
    ++number;
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = strip_comment(line);
    const std::vector<std::string_view> words = split_words(line);
    if (words.empty()) continue;
    if (auto read = reader.line(number, words, line); !read) {
      return failure(read.error());
    }
  }
  if (auto finished = reader.finish(); !finished) {
    return failure(finished.error());
  }
  return description;
}

}  // namespace portal_sample
