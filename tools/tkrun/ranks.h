// Texts a key column's cells are ranked by here, before the library sees them: their code
// points (-k COLUMN:ordinal), or the collation of a locale the library does not follow
// (--locale; see locale.h).
//
// A ranked column hands the library the order this program made instead of the texts: for
// code points each text's rank as a whole number, compared by value under the automatic
// keyword (the quickest comparison there is); for a collation each text's rank written as a
// text that orders the same in any locale under any of the text keywords' flags ("r" and ten
// digits), so that texts still sort after numbers, dates and booleans, and texts the
// collation holds equal still tie. Empty cells stay empty; the file's bytes are never touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/text_blocks.h"
#include "platform/ole.h"
#include "tkrun/command_lines.h"

namespace tkrun {

struct TextRanking {
  enum class Kind { None, CodePoints, Collation };
  Kind kind = Kind::None;
  std::uint32_t flags = 0;    // the collation's comparison flags, as the key's keyword has them
  bool readsNumbers = false;  // numtext: a text the locale reads as a number becomes it
};

// How the texts of `key`'s column are ranked: by code points for an ordinal key, by the
// collation of the chosen locale when `rankTexts` (it is not the system's) for a key whose
// column holds cells, else not at all.
TextRanking RankingOf(const Entry& key, bool rankTexts);

// Which column of the engine's table a key's cells go to, among the columns of its file
// column (see UsedColumns): keys whose cells are the same share one.
int SlotOf(const Entry& key, bool automaticToo, bool rankTexts);

// Replaces the text cells among the `count` cells at `cells` by their ranks under `how`
// (`locale`: the collation's name); std::bad_alloc when memory runs out. With `blocks`, the
// texts are there (see text_blocks.h): they are left as they are, and the ranks' texts go there
// too.
void RankTexts(VARIANT* cells, std::size_t count, const TextRanking& how,
               const std::wstring& locale, tkr::TextBlocks* blocks = nullptr);

}  // namespace tkrun
