#include "platform/rename_section.h"

#include <cctype>

namespace {

std::string Trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool IsSectionHeader(const std::string& line) {
    std::string trimmed = Trimmed(line);
    return !trimmed.empty() && trimmed[0] == '[';
}

bool IsRenameHeader(const std::string& line) {
    std::string trimmed = Trimmed(line);
    if (trimmed.size() != 8) return false;
    for (size_t i = 0; i < 8; ++i) {
        if (tolower(static_cast<unsigned char>(trimmed[i])) != "[rename]"[i]) return false;
    }
    return true;
}

// Calls visit(line, raw) for every line: `line` without its line end, `raw` with it.
template <typename Visit>
void ForEachLine(const std::string& text, Visit visit) {
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        size_t end = lf == std::string::npos ? text.size() : lf + 1;
        std::string raw = text.substr(start, end - start);
        std::string line = raw;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        visit(line, raw);
        start = end;
    }
}

std::string EntryLines(const std::vector<RenameEntry>& entries) {
    std::string lines;
    for (const RenameEntry& entry : entries) lines += entry.key + "=" + entry.value + "\r\n";
    return lines;
}

}  // namespace

std::vector<RenameEntry> ReadRenameEntries(const std::string& ini) {
    std::vector<RenameEntry> entries;
    bool inside = false;
    ForEachLine(ini, [&](const std::string& line, const std::string&) {
        if (IsSectionHeader(line)) {
            inside = IsRenameHeader(line);
            return;
        }
        size_t equals = line.find('=');
        if (inside && equals != std::string::npos)
            entries.push_back({line.substr(0, equals), line.substr(equals + 1)});
    });
    return entries;
}

std::string ReplaceRenameEntries(const std::string& ini, const std::vector<RenameEntry>& entries) {
    std::string text;
    bool inside = false, inFirst = false, seenFirst = false;
    size_t insertAt = std::string::npos;  // after the last line of the first [rename] section
    ForEachLine(ini, [&](const std::string& line, const std::string& raw) {
        if (IsSectionHeader(line)) {
            inside = IsRenameHeader(line);
            inFirst = inside && !seenFirst;
            seenFirst = seenFirst || inside;
        } else if (inside && line.find('=') != std::string::npos) {
            return;  // an old entry
        }
        text += raw;
        if (inFirst && !Trimmed(line).empty()) insertAt = text.size();
    });
    // A list that held nothing but its entries is no list any more.
    if (entries.empty()) {
        size_t end = text.find_last_not_of("\r\n");
        return IsRenameHeader(text.substr(0, end + 1)) ? std::string() : text;
    }
    if (insertAt == std::string::npos) {
        if (!text.empty() && text.back() != '\n') text += "\r\n";
        return text + "[rename]\r\n" + EntryLines(entries);
    }
    if (text[insertAt - 1] != '\n') {
        text.insert(insertAt, "\r\n");
        insertAt += 2;
    }
    return text.insert(insertAt, EntryLines(entries));
}
