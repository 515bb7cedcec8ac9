// An updater built to the original format, as small and strict as that
// format, for tests to hold our releases and our updater against: fields
// separated by blanks only, the plan's comparisons (names ignoring ASCII
// case, versions byte by byte, a new file when no installed line names it),
// the kinds E, O and C with their size checks (any other kind passed over),
// records replaced in place or appended, and packs read from the last 8989
// bytes but the very last one. It trusts the list as that updater did, and
// fetches from a published folder instead of a server. Names are bytes of
// its system code page; with `dbcs` a byte from 0x81 on leads a character of
// two bytes, whose second may be '\' and separates nothing.
#pragma once
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testing_support {

struct ReferenceReader {
    std::string app, pub;  // folders, without a trailing '/'
    bool dbcs = false;
    std::vector<std::string> installed;  // the installed versions list of the last plan

    static std::string Field(int n, const std::string& line) {
        const std::string s = line + " ";
        int count = 0;
        bool between = true;
        size_t start = 0;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] != ' ' && between) {
                between = false;
                if (++count == n) start = i;
            } else if (s[i] == ' ' && !between) {
                if (count == n) return s.substr(start, i - start);
                between = true;
            }
        }
        return "";
    }

    static std::vector<std::string> Lines(const std::string& bytes) {
        const std::string text = bytes.substr(0, bytes.find('\0'));
        std::vector<std::string> lines;
        std::string line;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '\r' && text[i] != '\n') {
                line += text[i];
                continue;
            }
            lines.push_back(line);
            line.clear();
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        }
        if (!line.empty()) lines.push_back(line);
        return lines;
    }

    static bool Greater(const std::string& a, const std::string& b) {
        return std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), [](char x, char y) {
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
        });
    }

    static bool SameName(const std::string& a, const std::string& b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            char x = a[i], y = b[i];
            if (x >= 'A' && x <= 'Z') x += 32;
            if (y >= 'A' && y <= 'Z') y += 32;
            if (x != y) return false;
        }
        return true;
    }

    // A name of the list as a path below the application folder.
    std::string PathOf(const std::string& local) const {
        std::string path = app + "/";
        for (size_t i = 0; i < local.size(); ++i) {
            if (dbcs && static_cast<unsigned char>(local[i]) >= 0x81 && i + 1 < local.size()) {
                path += local.substr(i++, 2);
                continue;
            }
            path += local[i] == '\\' ? '/' : local[i];
        }
        return path;
    }

    // update3.dat from the published folder, then the update list.
    std::vector<std::string> Plan() {
        WriteFile(app + "/update3.dat", ReadFile(pub + "/update3.dat"));
        if (!Exists(app + "/update2.dat")) WriteFile(app + "/update2.dat", "KOVRAN\r\n");
        const std::vector<std::string> remote = Lines(ReadFile(app + "/update3.dat"));
        installed = Lines(ReadFile(app + "/update2.dat"));
        if (installed.size() == 1) installed.push_back("");
        std::vector<std::string> list;
        for (size_t r = 1; r < remote.size(); ++r) {
            for (size_t i = 1; i < installed.size(); ++i) {
                if (SameName(Field(3, remote[r]), Field(1, installed[i]))) {
                    if (Greater(Field(4, remote[r]), Field(2, installed[i])))
                        list.push_back("U " + std::to_string(i) + " " + remote[r]);
                    break;
                }
                if (i + 1 == installed.size()) list.push_back(remote[r]);
            }
        }
        return list;
    }

    void Run(const std::vector<std::string>& list) {
        for (const std::string& entry : list) {
            const bool changed = Field(1, entry) == "U";
            const int at = changed ? 2 : 0;
            const std::string kind = Field(1 + at, entry), remote = Field(2 + at, entry), local = Field(3 + at, entry);
            const std::string record = local + " " + Field(4 + at, entry);
            const int64_t size = std::stoll(Field(5 + at, entry));
            const std::string served = app + "/" + remote;
            bool recorded = false;
            if (kind == "E" && Download(remote, served) == size) {
                Gunzip(served, PathOf(local));
                recorded = true;
            } else if (kind == "O") {
                recorded = Download(remote, PathOf(local)) == size;
            } else if (kind == "C" && Download(remote, served) == size) {
                Gunzip(served, PathOf(local));
                ExtractPack(PathOf(local));
                std::filesystem::remove(PathOf(local));
                recorded = true;
            }
            if (recorded && changed) installed[std::stoul(Field(2, entry))] = record;
            else if (recorded) installed.push_back(record);
        }
        std::string text;
        for (const std::string& line : installed) text += line + "\r\n";
        WriteFile(app + "/update2.dat", text);
    }

    int64_t Download(const std::string& remote, const std::string& to) const {
        const std::string bytes = ReadFile(pub + "/" + remote);
        WriteFile(to, bytes);
        return static_cast<int64_t>(bytes.size());
    }

    // Decompresses and deletes the source.
    static void Gunzip(const std::string& from, const std::string& to) {
        gzFile in = gzopen(from.c_str(), "r");
        if (!in) throw std::runtime_error("cannot open " + from);
        std::string out;
        char buffer[65536];
        for (int n; (n = gzread(in, buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
        gzclose(in);
        WriteFile(to, out);
        std::filesystem::remove(from);
    }

    void ExtractPack(const std::string& archive) const {
        const std::string bytes = ReadFile(archive);
        if (bytes.size() < 8989) throw std::runtime_error(archive + " is shorter than its directory");
        std::string block(8989, '\0');
        memcpy(&block[0], bytes.data() + bytes.size() - 8989, 8988);  // the last byte is not read
        int32_t count;
        memcpy(&count, block.data(), 4);
        for (int32_t i = 1; i <= count; ++i) {
            const char* record = block.data() + 89 * i;
            int32_t start, end;
            memcpy(&start, record, 4);
            memcpy(&end, record + 4, 4);
            WriteFile(PathOf(std::string(record + 9, static_cast<unsigned char>(record[8]))),
                      bytes.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
        }
    }
};

}  // namespace testing_support
