// The Windows back end of the file rules: any folder name (whatever the
// system code page), paths past the old 260-character limit, a finished
// file renamed over a read-only one, the folder walk that finds what an
// interrupted run left, and the system's code-page tables.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "gzip/Gzip.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/FileWriter.h"
#include "platform/StringList.h"
#include "platform/System.h"
#include "release/PackArchive.h"

#include <sys/stat.h>

using namespace testing_support;

TEST(Win32FileSystem, UnicodeAndLongPathsTakeEveryFileOperation) {
    TempDir dir;
    // The system code page of a Western Windows cannot spell these names;
    // a long path needs the "\\?\" prefix.
    const std::string unicode = dir.path() + "/\xE8\xB3\x87\xE6\x96\x99-\xC3\xBC-\xD0\x96";
    std::string deep = dir.path();
    while (deep.size() < 300) deep += "/folder-with-a-long-name";
    for (const std::string& folder : {unicode, deep}) {
        const std::string target = folder + "/sub/list.dat";
        const AnsiString system = SystemPathFromNative(target);
        EXPECT_EQ(NativePath(system), target) << "a path the code page cannot hold travels marked";
        ASSERT_TRUE(MakeFileFolders(system)) << folder;
        TStringList list;
        list.Add("one");
        list.Add("two");
        list.SaveToFileAtomic(system);
        EXPECT_EQ(ReadWholeFile(system), "one\r\ntwo\r\n");
        EXPECT_EQ(FileSizeOf(system), 10);
        // Over a read-only file, as Linux renames over any mode.
        ASSERT_EQ(_wchmod(std::wstring(L"\\\\?\\").append(std::filesystem::u8path(target).make_preferred().wstring()).c_str(),
                          _S_IREAD), 0);
        WriteWholeFileAtomic(system, "new");
        EXPECT_EQ(ReadWholeFile(system), "new");
        FlushInstalledFiles();

        // The gzip component reads and writes there too.
        TGzip gz(nullptr);
        gz.FileSource = system;
        gz.FileDestination = SystemPathFromNative(folder + "/sub/list.gz");
        ASSERT_EQ(gz.Compress(), 0);
        gz.FileSource = gz.FileDestination;
        gz.FileDestination = SystemPathFromNative(folder + "/sub/list.back");
        ASSERT_EQ(gz.Decompress(), 0);
        EXPECT_EQ(ReadWholeFile(gz.FileDestination), "new");

        const std::string moved = SystemPathFromNative(folder + "/sub/moved.dat");
        EXPECT_TRUE(RenameFile(system, moved));
        EXPECT_FALSE(FileExists(system));
        EXPECT_TRUE(IsRegularFile(moved));
        EXPECT_TRUE(DirectoryExists(SystemPathFromNative(folder + "/sub")));
        EXPECT_FALSE(IsRegularFile(SystemPathFromNative(folder + "/sub")));

        // What an interrupted run leaves is found below the folder and removed.
        { TPartialFile part(moved, "id1"); }
        std::string native = NativePath(moved);
        EXPECT_EQ(PartialsBelow(SystemPathFromNative(folder)), std::vector<AnsiString>{native + kPartialMarker + "id1"});
        EXPECT_EQ(RemoveStalePartials(SystemPathFromNative(folder), {}), 1);
        int fd = OpenForWriting(SystemPathFromNative(folder + "/sub/x" + kTempMarker + "left"));
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(WriteAllAt(fd, "abc", 3, 5));
        _close(fd);
        EXPECT_EQ(FileSizeOf(SystemPathFromNative(folder + "/sub/x" + kTempMarker + "left")), 8);
        EXPECT_EQ(RemoveLeftoverTemporaries(SystemPathFromNative(folder)), 1);
        EXPECT_TRUE(DeleteFile(moved));
        EXPECT_EQ(OpenRegularForReading(moved), -1);
        EXPECT_EQ(errno, ENOENT);
    }
    // A folder is not opened as a file.
    EXPECT_EQ(OpenRegularForReadingNative(dir.path()), -1);
}

// The names the system tables convert, strictly or with '?' for a byte that
// starts nothing (Big5 "功" ends in 0x5C, the backslash byte).
TEST(Win32FileSystem, CodePagesThroughTheSystemTables) {
    AnsiString utf8;
    ASSERT_TRUE(TryCodePageToUtf8("\xA5\x5C\xAF\xE0", 950, utf8));
    EXPECT_EQ(utf8, "\xE5\x8A\x9F\xE8\x83\xBD");  // 功能
    AnsiString back;
    ASSERT_TRUE(TryUtf8ToCodePage(utf8, 950, back));
    EXPECT_EQ(back, "\xA5\x5C\xAF\xE0");
    EXPECT_FALSE(TryUtf8ToCodePage("\xC3\xBC", 950, back)) << "no best-fit guess for a letter Big5 lacks";
    EXPECT_FALSE(TryCodePageToUtf8("\xA5", 950, utf8)) << "half a character";
    EXPECT_EQ(CodePageToUtf8("a\xFF" "b", 950), "a?b");
    ASSERT_TRUE(TryCodePageToUtf8("\xC4\xE3", 936, utf8));
    EXPECT_EQ(utf8, "\xE4\xBD\xA0");  // 你
}

// A download's file: kept bytes, then blocks across the mebibyte edge,
// and the end where the last byte is.
TEST(Win32FileSystem, OutputFilesKeepWhatCameAndAddTheRest) {
    TempDir dir;
    const std::string path = SystemPathFromNative(dir.path() + "/\xE8\xB3\x87-download");
    const std::string data = Random((2u << 20) + 5, 3);
    {
        TOutputFile first(path);
        first.Open(0);
        first.Write(data.data(), 1000);
        first.Close(true);
    }
    TOutputFile rest(path);
    rest.Open(700);  // the last 300 bytes are not trusted: written again
    for (size_t at = 700, step = 1; at < data.size(); at += step, step = step * 5 + 3)
        rest.Write(data.data() + at, std::min(step, data.size() - at));
    rest.Close(true);
    EXPECT_EQ(ReadWholeFile(path), data);
    TOutputFile missing(SystemPathFromNative(dir.path() + "/no/such/folder/x"));
    EXPECT_THROW(missing.Open(0), EInOutError);
}

// The program's own folder and name come from the system, in our forms.
TEST(Win32FileSystem, TheProgramKnowsItsFolderAndTheSystemsCodePage) {
    EXPECT_EQ(ProgramFileName(), "portable_tests.exe");
    const AnsiString folder = ApplicationFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '\\');
    EXPECT_TRUE(IsRegularFile(folder + ProgramFileName()));
    EXPECT_TRUE(IsKnownCodePage(SystemCodePage())) << SystemCodePage();
    EXPECT_NE(GetThreadLocale(), 0u);
}

// Programs start through CreateProcessW: every argument arrives whole (the
// report file's name holds a blank), in the folder asked for; an unquoted
// program path is split as the system splits it.
TEST(Win32FileSystem, ProgramsStartWithTheirArgumentsInTheirFolder) {
    TempDir dir;
    const AnsiString program = ApplicationFolder() + ProgramFileName(), folder = SystemPathFromNative(dir.path());
    AnsiString error;
    ASSERT_TRUE(StartProgram(program, {"--gtest_filter=NoSuchTest", "--gtest_output=xml:started here.xml"}, folder, error))
        << error;
    EXPECT_TRUE(PumpUntil([&] { return Exists(dir.file("started here.xml")); }, 60)) << "the child wrote its report";
    EXPECT_FALSE(StartProgram(SystemPathFromNative(dir.path() + "/missing.exe"), {}, folder, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(WinExec(SystemPathFromNative(dir.path() + "/missing.exe") + " 1", SW_SHOWNORMAL), 2u);
    EXPECT_EQ(WinExec(program + " --gtest_filter=NoSuchTest", SW_SHOWNORMAL), 33u);
}
