// The locale a run reads its cells and orders its texts by: the one --locale names (a Windows
// locale name such as en-US, de-DE or fr-FR), else the system's.
//
// What a locale decides here: the decimal mark, the thousands mark and the currency symbol a
// number may wear, the order of day and month in short dates (--date-order and --decimal
// decide over it), and the order of texts. The library compares texts in the system's locale,
// which no program can change for itself (it is the machine's, read when a process starts).
// So where --locale names another, this program ranks the texts of every key column itself,
// under that locale's collation and the key's flags, and hands the library the ranks (texts
// that keep their order in any locale) instead: the order is the chosen locale's, and no
// comparison breaks out. A numtext key's texts that the chosen locale reads as numbers become
// those numbers. The bytes of every row stay as they were.
//
// Legal order: SettleLocale once the options are read (it fills Options::typing and says
// whether texts are ranked), then LocaleRuling whenever a run says what ruled.
#pragma once

#include <string>

#include "tkrun/options.h"

namespace tkrun {

// Settles the locale of the run from --locale, --date-order and --decimal into o.typing,
// o.localeName and o.rankTexts: "" or why the locale cannot be used.
std::string SettleLocale(Options& o);

// Which locale ruled the run and what it decided, in one line for the run's report: "locale
// de-DE (--locale): texts in its order, ranked by tkrun ...".
std::string LocaleRuling(const Options& o);

}  // namespace tkrun
