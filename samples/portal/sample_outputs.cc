#include "portal/sample_outputs.h"

#include <algorithm>
#include <set>

#include "ostrand_dat/writer.h"

namespace portal_sample {
namespace {

std::string source(std::string_view name, std::size_t line) {
  return std::string(name) + ":" + std::to_string(line);
}

std::vector<std::byte> bytes_of(std::string_view text) {
  const auto view = std::as_bytes(std::span(text));
  return {view.begin(), view.end()};
}

}  // namespace

std::expected<std::vector<std::byte>, ostrand_dat::DatError> build_archive(
    const Description& description) {
  ostrand_dat::ArchiveWriter writer(description.block_size);
  for (const TableDescription& table : description.tables) {
    ostrand_dat::SoundTableRecords records{
        table.id, table.hash_key, table.hashes, {}};
    for (const SoundRecord& record : table.sounds) {
      records.sounds.emplace_back(record.kind, record.data);
    }
    writer.add({.id = table.id,
                .data = ostrand_dat::encode_sound_table(records),
                .compress = table.compress});
  }
  for (const FileDescription& file : description.files) {
    writer.add({.id = file.id,
                .data = bytes_of(file.data),
                .compress = file.compress});
  }
  return writer.build();
}

gt_standin::AnswerTable sample_answers(const Description& description,
                                       std::string_view name) {
  gt_standin::AnswerTable answers;
  for (const TableDescription& table : description.tables) {
    // Records in stream order, so a repeated kind ends with its last record.
    for (const SoundRecord& record : table.sounds) {
      const auto& entries = record.data.entries;
      gt_standin::Answer answer{.wave = {},
                                .source = source(name, record.line)};
      if (!entries.empty() && entries.front().wave_did != 0) {
        answer.wave = entries.front().wave_did;
      }
      answers.insert_or_assign({table.id, record.kind}, std::move(answer));
    }
  }
  return answers;
}

std::expected<gt_standin::AnswerTable, std::string> drift_answers(
    const Description& description, std::string_view name) {
  gt_standin::AnswerTable answers = sample_answers(description, name);
  std::set<gt_standin::AnswerKey> drifted;
  for (const DriftDescription& drift : description.drifts) {
    auto failure = [&](const std::string& what) {
      return std::unexpected(source(name, drift.line) + ": " + what);
    };
    const gt_standin::AnswerKey key{drift.table_id, drift.sound};
    const bool known_table = std::any_of(
        description.tables.begin(), description.tables.end(),
        [&](const TableDescription& t) { return t.id == key.first; });
    if (!known_table) return failure("drift names a table not described here");
    if (!drifted.insert(key).second) {
      return failure("a second drift for the same table and kind");
    }
    auto& answer = answers[key];
    if (answer.wave == drift.wave) {
      return failure("drift gives the sample's own answer");
    }
    answer = {drift.wave, source(name, drift.line) + " (deliberate drift)"};
  }
  return answers;
}

std::string answer_table_text(const gt_standin::AnswerTable& answers,
                              std::string_view comment) {
  std::string text;
  for (std::size_t at = 0; at < comment.size();) {
    const std::size_t end = std::min(comment.find('\n', at), comment.size());
    text += "# " + std::string(comment.substr(at, end - at)) + "\n";
    at = end + 1;
  }
  for (const auto& [key, answer] : answers) {
    text += gt_standin::format_answer_row(key.first, key.second, answer) + "\n";
  }
  return text;
}

}  // namespace portal_sample
