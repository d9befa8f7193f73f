#include "analysis/unicode_scripts.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

#include "analysis/regular_expression.hpp"
#include "analysis/unicode_ages.hpp"

namespace vocarix {
namespace {

// The scripts of the engine's tables (Unicode 16.0), "Unknown" among them.
constexpr std::string_view kScriptNames[] = {
    "Adlam", "Ahom", "Anatolian_Hieroglyphs", "Arabic", "Armenian", "Avestan", "Balinese", "Bamum", "Bassa_Vah",
    "Batak", "Bengali", "Bhaiksuki", "Bopomofo", "Brahmi", "Braille", "Buginese", "Buhid", "Canadian_Aboriginal",
    "Carian", "Caucasian_Albanian", "Chakma", "Cham", "Cherokee", "Chorasmian", "Common", "Coptic", "Cuneiform",
    "Cypriot", "Cypro_Minoan", "Cyrillic", "Deseret", "Devanagari", "Dives_Akuru", "Dogra", "Duployan",
    "Egyptian_Hieroglyphs", "Elbasan", "Elymaic", "Ethiopic", "Garay", "Georgian", "Glagolitic", "Gothic",
    "Grantha", "Greek", "Gujarati", "Gunjala_Gondi", "Gurmukhi", "Gurung_Khema", "Han", "Hangul", "Hanifi_Rohingya",
    "Hanunoo", "Hatran", "Hebrew", "Hiragana", "Imperial_Aramaic", "Inherited", "Inscriptional_Pahlavi",
    "Inscriptional_Parthian", "Javanese", "Kaithi", "Kannada", "Katakana", "Kawi", "Kayah_Li", "Kharoshthi",
    "Khitan_Small_Script", "Khmer", "Khojki", "Khudawadi", "Kirat_Rai", "Lao", "Latin", "Lepcha", "Limbu",
    "Linear_A", "Linear_B", "Lisu", "Lycian", "Lydian", "Mahajani", "Makasar", "Malayalam", "Mandaic", "Manichaean",
    "Marchen", "Masaram_Gondi", "Medefaidrin", "Meetei_Mayek", "Mende_Kikakui", "Meroitic_Cursive",
    "Meroitic_Hieroglyphs", "Miao", "Modi", "Mongolian", "Mro", "Multani", "Myanmar", "Nabataean", "Nag_Mundari",
    "Nandinagari", "New_Tai_Lue", "Newa", "Nko", "Nushu", "Nyiakeng_Puachue_Hmong", "Ogham", "Ol_Chiki", "Ol_Onal",
    "Old_Hungarian", "Old_Italic", "Old_North_Arabian", "Old_Permic", "Old_Persian", "Old_Sogdian",
    "Old_South_Arabian", "Old_Turkic", "Old_Uyghur", "Oriya", "Osage", "Osmanya", "Pahawh_Hmong", "Palmyrene",
    "Pau_Cin_Hau", "Phags_Pa", "Phoenician", "Psalter_Pahlavi", "Rejang", "Runic", "Samaritan", "Saurashtra",
    "Sharada", "Shavian", "Siddham", "SignWriting", "Sinhala", "Sogdian", "Sora_Sompeng", "Soyombo", "Sundanese",
    "Sunuwar", "Syloti_Nagri", "Syriac", "Tagalog", "Tagbanwa", "Tai_Le", "Tai_Tham", "Tai_Viet", "Takri", "Tamil",
    "Tangsa", "Tangut", "Telugu", "Thaana", "Thai", "Tibetan", "Tifinagh", "Tirhuta", "Todhri", "Toto",
    "Tulu_Tigalari", "Ugaritic", "Unknown", "Vai", "Vithkuqi", "Wancho", "Warang_Citi", "Yezidi", "Yi",
    "Zanabazar_Square",
};

struct ScriptRange {
    std::uint32_t first, last;
    std::uint16_t script;
};

// Every script's ranges, sorted, for a binary search.
class ScriptTable {
public:
    ScriptTable() {
        for (std::uint16_t id = 0; id < std::size(kScriptNames); ++id) {
            if (kScriptNames[id] == "Unknown") unknown_ = id;
            const UnicodeProperty script(kScriptNames[id]);
            for (const CodePointRange& range : script.ranges()) ranges_.push_back({range.first, range.last, id});
        }
        std::sort(ranges_.begin(), ranges_.end(),
                  [](const ScriptRange& a, const ScriptRange& b) { return a.first < b.first; });
    }
    int find(std::uint32_t cp) const {
        auto it = std::upper_bound(ranges_.begin(), ranges_.end(), cp,
                                   [](std::uint32_t value, const ScriptRange& range) { return value < range.first; });
        if (it == ranges_.begin() || cp > std::prev(it)->last || std::prev(it)->script == unknown_) return kNoScript;
        return std::prev(it)->script;
    }

private:
    std::vector<ScriptRange> ranges_;
    std::uint16_t unknown_ = 0;
};

}  // namespace

int script_of(std::uint32_t cp) {
    static const ScriptTable table;
    if (!assigned_in_unicode_9(cp)) return kNoScript;
    // Unicode 9.0 counted these two marks as Common; later versions gave them their scripts.
    static const int common = table.find(0x20AC);
    if (cp == 0x589 || cp == 0x61C) return common;
    return table.find(cp);
}

}  // namespace vocarix
