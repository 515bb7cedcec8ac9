#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/StringList.h"

using namespace testing_support;

static std::vector<std::string> LinesOf(const std::string& text) {
    TStringList l;
    l.SetText(text);
    return l.Lines();
}

TEST(StringList, LineEndsOfEveryKindSplitLines) {
    EXPECT_EQ(LinesOf("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    // A final line end starts no new line; without it the last line still counts.
    EXPECT_EQ(LinesOf("a\r\nb\r\n"), LinesOf("a\r\nb"));
    EXPECT_EQ(LinesOf("a\r\n\r\nb"), (std::vector<std::string>{"a", "", "b"}));
    // CR CR LF is an empty line between: the CR ends one line, CR LF the next.
    EXPECT_EQ(LinesOf("a\r\r\nb"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(LinesOf("").empty());
    EXPECT_EQ(LinesOf("\r\n"), (std::vector<std::string>{""}));
}

TEST(StringList, ZeroByteEndsTheText) {
    EXPECT_EQ(LinesOf(std::string("a\r\nb\0c\r\nd", 9)), (std::vector<std::string>{"a", "b"}));
}

TEST(StringList, SaveWritesCrLfAfterEveryLineAndReloadsTheSame) {
    TempDir dir;
    TStringList l;
    l.Add("KOVRAN");
    l.Add("");
    l.Add("bin\\client.exe 104");
    l.SaveToFile(dir.appFolder() + "update2.dat");
    EXPECT_EQ(ReadFile(dir.file("update2.dat")), "KOVRAN\r\n\r\nbin\\client.exe 104\r\n");
    TStringList back;
    back.LoadFromFile(dir.appFolder() + "update2.dat");
    EXPECT_EQ(back.Lines(), l.Lines());

    l.Delete(1);
    l.SaveToFileAtomic(dir.appFolder() + "update2.dat");
    EXPECT_EQ(ReadFile(dir.file("update2.dat")), "KOVRAN\r\nbin\\client.exe 104\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
        << "no temporary file may be left beside the saved one";
}

TEST(StringList, MissingFileRaisesWithItsName) {
    TempDir dir;
    TStringList l;
    try {
        l.LoadFromFile(dir.appFolder() + "isp0.dat");
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_NE(e.Message.find("isp0.dat"), std::string::npos) << e.Message;
    }
    EXPECT_THROW(l.SaveToFile(dir.appFolder() + "missing\\folder\\x.dat"), EInOutError);
}

TEST(StrToInt, SignedDecimalOnly) {
    EXPECT_EQ(StrToInt("42"), 42);
    EXPECT_EQ(StrToInt("-7"), -7);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    for (const char* bad : {"", "-", "12a", "0x10", "2147483648", "1 2"}) {
        try {
            StrToInt(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const EConvertError& e) {
            EXPECT_NE(e.Message.find(std::string("'") + bad + "'"), std::string::npos) << e.Message;
        }
    }
    EXPECT_EQ(StrToInt64("3221225472"), 3221225472LL);
}

TEST(Components, OwnerFreesWhatItOwnsAndFreedChildLeavesItsOwner) {
    static int alive = 0;
    struct Counted : TComponent {
        explicit Counted(TComponent* o) : TComponent(o) { ++alive; }
        ~Counted() override { --alive; }
    };
    auto* owner = new TComponent(nullptr);
    auto* a = new Counted(owner);
    new Counted(a);  // owned by a, freed with it
    new Counted(owner);
    EXPECT_EQ(alive, 3);
    delete a;
    EXPECT_EQ(alive, 1);
    EXPECT_EQ(owner->ComponentCount(), 1);
    delete owner;
    EXPECT_EQ(alive, 0);
}
