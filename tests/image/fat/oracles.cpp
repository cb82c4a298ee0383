#include "tests/image/fat/oracles.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <vector>

namespace fattest {

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string ReadHostFile(const std::string& path) {
    std::string content;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        ADD_FAILURE() << "cannot open " << path;
        return content;
    }
    char buffer[65536];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;)
        content.append(buffer, got);
    fclose(file);
    return content;
}

}  // namespace

std::string Mtools(const std::string& tool, const std::string& image, const std::string& args,
                   int* status) {
    // Short names in code page 437, as the volume code reads them by default.
    std::string settings = image + ".mtoolsrc";
    return Shell("[ -e " + Quote(settings) + " ] || echo default_codepage=437 > " +
                     Quote(settings) + "; MTOOLSRC=" + Quote(settings) +
                     " MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 " + tool + " -i " + Quote(image) + " " +
                     args,
                 status);
}

void MakeImage(const std::string& path, int type, uint64_t bytes, int sectorsPerCluster,
               int rootEntries) {
    int status = 0;
    std::string output = Shell(
        "rm -f " + Quote(path) + " && truncate -s " + std::to_string(bytes) + " " + Quote(path) +
            " && mkfs.fat -F " + std::to_string(type) + " -s " + std::to_string(sectorsPerCluster) +
            (rootEntries ? " -r " + std::to_string(rootEntries) : std::string()) + " " +
            Quote(path),
        &status);
    ASSERT_EQ(status, 0) << output;
    ASSERT_EQ(output.find("WARNING"), std::string::npos) << output;
}

std::string FsckComplaints(const std::string& image) {
    int status = 0;
    std::vector<std::string> lines = Lines(Shell("fsck.fat -n " + Quote(image), &status));
    std::string complaints;
    std::regex summary(".*: [0-9]+ files, [0-9]+/[0-9]+ clusters");
    for (size_t i = 1; i < lines.size(); ++i) {
        if (i + 1 == lines.size() && std::regex_match(lines[i], summary)) continue;
        complaints += lines[i] + "\n";
    }
    if (lines.empty() || lines[0].rfind("fsck.fat", 0) != 0) complaints += "(no header)\n";
    if (status != 0) complaints += "exit status " + std::to_string(status) + "\n";
    return complaints;
}

std::map<std::string, OracleEntry> MtoolsTree(const std::string& image) {
    std::map<std::string, OracleEntry> tree;
    int status = 0;
    std::string listing = Mtools("mdir", image, "-/ -a ::/", &status);
    EXPECT_EQ(status, 0) << listing;
    std::regex folderLine("Directory for ::(/.*)");
    std::regex entryLine(
        "(\\S+)(?: +(\\S+))? +(<DIR>|[0-9]+) +[0-9]{4}-[0-9]{2}-[0-9]{2} +"
        "[0-9]{1,2}:[0-9]{2} ?(?: (.*))?");
    std::string folder;
    for (const std::string& line : Lines(listing)) {
        std::smatch match;
        if (std::regex_match(line, match, folderLine)) {
            folder = match[1].str() == "/" ? "" : match[1].str();
            continue;
        }
        if (!std::regex_match(line, match, entryLine)) continue;
        std::string shortName = match[1].str() + (match[2].matched ? "." + match[2].str() : "");
        if (shortName == "." || shortName == "..") continue;
        OracleEntry entry;
        entry.shortName = shortName;
        entry.isDirectory = match[3].str() == "<DIR>";
        entry.size = entry.isDirectory ? 0 : std::stoull(match[3].str());
        entry.hasLongName = match[4].matched && !match[4].str().empty();
        std::string name = entry.hasLongName ? match[4].str() : shortName;
        tree[folder + "/" + name] = entry;
    }
    // The bytes as mcopy copies them out (one at a time, mtools would take "[" for a pattern).
    std::string copies = image + ".files";
    std::string copied = Shell("rm -rf " + Quote(copies) + " && mkdir " + Quote(copies));
    copied += Mtools("mcopy", image, "-s -n ::/ " + Quote(copies + "/"), &status);
    EXPECT_EQ(status, 0) << copied;
    // mattrib shows the long names as they are; mdir a short name with Windows NT's case bits.
    std::regex attributeLine("(.{10}) +::(/.+)");
    std::map<std::string, OracleEntry> named;
    for (const std::string& line : Lines(Mtools("mattrib", image, "-/ ::/"))) {
        std::smatch match;
        if (!std::regex_match(line, match, attributeLine)) continue;
        std::string path = match[2].str();
        auto found = tree.find(path);
        for (auto it = tree.begin(); found == tree.end() && it != tree.end(); ++it) {
            if (strcasecmp(it->first.c_str(), path.c_str()) == 0) found = it;
        }
        if (found == tree.end()) {
            ADD_FAILURE() << "mattrib shows " << path << " that mdir does not";
            continue;
        }
        OracleEntry entry = found->second;
        for (char letter : match[1].str()) {
            entry.attributes |= letter == 'A'   ? 0x20
                                : letter == 'S' ? 0x04
                                : letter == 'H' ? 0x02
                                : letter == 'R' ? 0x01
                                                : 0;
        }
        if (!entry.isDirectory) entry.content = ReadHostFile(copies + path);
        named[path] = entry;
    }
    EXPECT_EQ(named.size(), tree.size()) << listing;
    return named;
}

std::map<std::string, std::string> SleuthKitTree(const std::string& image) {
    std::map<std::string, std::string> tree;
    int status = 0;
    std::string listing = Shell("LC_ALL=C.UTF-8 fls -r -p " + Quote(image), &status);
    EXPECT_EQ(status, 0) << listing;
    // tsk_recover copies out every file but the empty ones.
    std::string copies = image + ".recovered";
    std::string recovered =
        Shell("rm -rf " + Quote(copies) + " && mkdir " + Quote(copies) +
                  " && LC_ALL=C.UTF-8 tsk_recover -a " + Quote(image) + " " + Quote(copies),
              &status);
    EXPECT_EQ(status, 0) << recovered;
    std::regex entryLine("([-a-zA-Z])/([-a-zA-Z]) ([0-9]+):\t(.*)");
    for (const std::string& line : Lines(listing)) {
        std::smatch match;
        if (!std::regex_match(line, match, entryLine)) continue;  // deleted ones have " * "
        std::string type = match[1].str(), path = "/" + match[4].str();
        if (type == "v" || type == "V") continue;
        if (type == "d") {
            tree[path] = "<dir>";
        } else if (access((copies + path).c_str(), F_OK) == 0) {
            tree[path] = ReadHostFile(copies + path);
        } else {
            tree[path] = "";
        }
    }
    return tree;
}

}  // namespace fattest
