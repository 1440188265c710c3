// What the generator makes of a description: the archive, built with the
// library's writer, and the stand-in's answer tables. The answers come from
// the description alone, never from reading the archive back, so comparing
// the library's resolution with the stand-in's compares two separate paths.
#ifndef SAMPLES_PORTAL_SAMPLE_OUTPUTS_H_
#define SAMPLES_PORTAL_SAMPLE_OUTPUTS_H_

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "gt-terminal-standin/answer_table.h"
#include "ostrand_dat/error.h"
#include "portal/description.h"

namespace portal_sample {

// The archive's bytes: every table and file of the description, tables as
// their records stand (repeats included), at the description's block size.
std::expected<std::vector<std::byte>, ostrand_dat::DatError> build_archive(
    const Description& description);

// Every record of every table answered as a reader resolves it: the first
// entry's wave, nothing for an empty list or a first wave of 0, the later
// record of a repeated kind. The source is "<name>:<line of the record>".
gt_standin::AnswerTable sample_answers(const Description& description,
                                       std::string_view name);

// sample_answers() with the description's drift lines applied, each with
// the source "<name>:<line> (deliberate drift)". Fails when a drift names a
// table the description lacks, repeats a pair, or gives the sample's own
// answer, since each drift must be one disagreement.
std::expected<gt_standin::AnswerTable, std::string> drift_answers(
    const Description& description, std::string_view name);

// The text of an answer table file: `comment` lines as '#' comments, then
// one row per answer in (table, kind) order.
std::string answer_table_text(const gt_standin::AnswerTable& answers,
                              std::string_view comment);

}  // namespace portal_sample

#endif  // SAMPLES_PORTAL_SAMPLE_OUTPUTS_H_
