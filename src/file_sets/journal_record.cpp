#include "file_sets/journal_record.hpp"

#include <charconv>

#include "document/errors.hpp"
#include "document/text.hpp"

namespace vocarix::file_sets {
namespace {

constexpr std::string_view kJournalHeader = "vocarix edit journal 1";
constexpr std::string_view kJournalEnd = "end";
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Spaces, line breaks, other control bytes and '%' become %XX.
std::string encode_name(std::string_view name) {
    std::string out;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || byte == '%') {
            out += '%';
            out += kHexDigits[byte >> 4];
            out += kHexDigits[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

bool decode_name(std::string_view text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        unsigned value = 0;
        if (i + 2 >= text.size()) return false;
        if (std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr != text.data() + i + 3)
            return false;
        out += static_cast<char>(value);
        i += 2;
    }
    return !out.empty() && out.find('/') == std::string::npos && out != "." && out != "..";
}

std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        std::size_t space = line.find(' ');
        fields.push_back(line.substr(0, space));
        if (space == std::string_view::npos) break;
        line.remove_prefix(space + 1);
    }
    return fields;
}

}  // namespace

std::string journal_text(const std::vector<JournalEntry>& entries) {
    std::string text = std::string(kJournalHeader) + "\n";
    for (const JournalEntry& entry : entries) {
        if (entry.new_file.empty()) text += "remove " + encode_name(entry.target) + "\n";
        else
            text += "rename " + encode_name(entry.new_file) + " " + encode_name(entry.target) + " " +
                    std::to_string(entry.size) + "\n";
    }
    return text + std::string(kJournalEnd) + "\n";
}

std::vector<JournalEntry> parse_journal(std::string_view text, const std::string& path) {
    auto broken = [&path](const std::string& why) {
        return DocumentError("Failed to read: " + debug_quoted(path), "not a whole edit journal: " + why);
    };
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        if (end == std::string_view::npos) throw broken("its last line is cut");
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    if (lines.size() < 2 || lines.front() != kJournalHeader || lines.back() != kJournalEnd)
        throw broken("its first or last line is missing");
    std::vector<JournalEntry> entries;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        std::vector<std::string_view> fields = fields_of(lines[i]);
        JournalEntry entry;
        bool ok = false;
        if (fields.size() == 2 && fields[0] == "remove") {
            ok = decode_name(fields[1], entry.target);
        } else if (fields.size() == 4 && fields[0] == "rename") {
            const char* end = fields[3].data() + fields[3].size();
            ok = decode_name(fields[1], entry.new_file) && decode_name(fields[2], entry.target) &&
                 std::from_chars(fields[3].data(), end, entry.size).ptr == end;
        }
        if (!ok) throw broken("line " + std::to_string(i + 1) + " is no swap");
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace vocarix::file_sets
