#include "platform/rename_section.h"

#include <cctype>
#include <utility>

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

// Calls visit(lineStart, lineEnd) for every line; lineEnd is the offset after its LF.
template <typename Visit>
void ForEachLine(const std::string& text, Visit visit) {
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        size_t end = lf == std::string::npos ? text.size() : lf + 1;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (!visit(line, end)) return;
        start = end;
    }
}

// Offset just after the last line of the [rename] section, or npos when there is none.
size_t EndOfRenameSection(const std::string& ini) {
    size_t sectionEnd = std::string::npos;
    bool inside = false;
    ForEachLine(ini, [&](const std::string& line, size_t end) {
        if (IsSectionHeader(line)) {
            if (inside) return false;
            inside = IsRenameHeader(line);
        }
        if (inside && !Trimmed(line).empty()) sectionEnd = end;
        return true;
    });
    return sectionEnd;
}

// Offsets of the last "key=value" line of the [rename] section (start, end after its
// LF); start is npos when there is none.
std::pair<size_t, size_t> FindRenameLine(const std::string& ini, const std::string& key,
                                         const std::string& value) {
    std::pair<size_t, size_t> found(std::string::npos, 0);
    std::string wanted = key + "=" + value;
    bool inside = false;
    size_t start = 0;
    ForEachLine(ini, [&](std::string line, size_t end) {
        if (IsSectionHeader(line)) {
            inside = IsRenameHeader(line);
        } else {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (inside && line == wanted) found = {start, end};
        }
        start = end;
        return true;
    });
    return found;
}

}  // namespace

std::string AddRenameEntry(const std::string& ini, const std::string& key,
                           const std::string& value) {
    if (FindRenameLine(ini, key, value).first != std::string::npos) return ini;
    std::string line = key + "=" + value + "\r\n";
    size_t at = EndOfRenameSection(ini);
    if (at == std::string::npos) {
        std::string text = ini;
        if (!text.empty() && text.back() != '\n') text += "\r\n";
        return text + "[rename]\r\n" + line;
    }
    std::string text = ini;
    if (text[at - 1] != '\n') {
        text.insert(at, "\r\n");
        at += 2;
    }
    return text.insert(at, line);
}

std::string RemoveRenameEntry(const std::string& ini, const std::string& key,
                              const std::string& value) {
    std::pair<size_t, size_t> line = FindRenameLine(ini, key, value);
    if (line.first == std::string::npos) return ini;
    return ini.substr(0, line.first) + ini.substr(line.second);
}

std::vector<RenameEntry> ReadRenameEntries(const std::string& ini) {
    std::vector<RenameEntry> entries;
    bool inside = false;
    ForEachLine(ini, [&](const std::string& line, size_t) {
        if (IsSectionHeader(line)) {
            inside = IsRenameHeader(line);
            return true;
        }
        size_t equals = line.find('=');
        if (inside && equals != std::string::npos) {
            std::string value = line.substr(equals + 1);
            if (!value.empty() && value.back() == '\r') value.pop_back();
            entries.push_back({line.substr(0, equals), value});
        }
        return true;
    });
    return entries;
}
