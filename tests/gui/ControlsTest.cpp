// Controls and the progress gauge under a (virtual) display.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/CodePage.h"
#include "platform/Controls.h"
#include "platform/Display.h"
#include "widgets/Gauges.h"

using namespace testing_support;

namespace {
// A fresh form per test, shown so that pictures and texts really draw.
struct FormFixture : ::testing::Test {
    TForm* form = nullptr;
    void SetUp() override {
        OpenDisplay();
        SetDisplayCodePage(950);
        form = new TForm(nullptr);
        form->SetWidth(300);
        form->SetHeight(200);
    }
    void TearDown() override {
        delete form;
        SetDisplayCodePage(0);
    }
};
}  // namespace

TEST_F(FormFixture, LabelShowsBig5TextAsUtf8AndSizesItselfToIt) {
    auto* label = new TLabel(form, form);
    TFont f;
    f.Name = kFontKai;
    f.Height = 23;
    label->SetFont(f);
    label->SetCaption("\xB3s\xBDu\xA4\xA4...");  // 連線中... in Big5
    EXPECT_EQ(label->CaptionUtf8(), "\xE9\x80\xA3\xE7\xB7\x9A\xE4\xB8\xAD...");
    int shortWidth = label->Width();
    EXPECT_GT(shortWidth, 20);
    EXPECT_GT(label->Height(), 15);
    label->SetCaption("\xB3s\xBDu\xA4\xA4...\xB3s\xBDu\xA4\xA4...");
    EXPECT_GT(label->Width(), shortWidth * 3 / 2);
}

TEST_F(FormFixture, ImageListBoxAndFormShowWhileABrokenJpegNamesItsFile) {
    TempDir dir;
    auto* image = new TImage(form, form);
    image->SetAutoSize(true);
    ASSERT_EQ(system(("convert -size 40x30 xc:red " + dir.file("red.jpg")).c_str()), 0);
    image->LoadFromFile(dir.file("red.jpg"));
    EXPECT_EQ(image->Width(), 40);
    EXPECT_EQ(image->Height(), 30);
    auto* list = new TListBox(form, form);
    list->SetBounds(50, 50, 100, 80);
    list->Items.Add("a.dll");
    list->Items.Add("b.dll");
    list->Items.Delete(0);
    EXPECT_EQ(list->Items.Count(), 1);
    EXPECT_EQ(list->Items[0], "b.dll");
    form->Show();
    std::vector<uint8_t> px;
    PumpUntil([&] {  // mapped and drawn
        px = ReadWindowPixels(form->Window(), 10, 10, 1, 1);
        return px.size() == 3 && px[0] > 200;
    });
    ASSERT_EQ(px.size(), 3u);
    EXPECT_GT(px[0], 200);  // red from the picture
    EXPECT_LT(px[1], 60);

    WriteFile(dir.file("broken.jpg"), "\xFF\xD8\xFF\xE0 not a picture");
    try {
        image->LoadFromFile(dir.file("broken.jpg"));
        FAIL() << "a broken picture must raise";
    } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()).find("broken.jpg"), std::string::npos) << e.what();
    }
    EXPECT_THROW(image->LoadFromFile(dir.file("missing.jpg")), EInOutError);
    EXPECT_EQ(image->Width(), 40);  // the old picture stays
}

TEST_F(FormFixture, GaugePercentClampsAndSetterErrors) {
    TGauge g(nullptr, form);
    EXPECT_EQ(g.Percent(), 0);
    g.SetProgress(150);
    EXPECT_EQ(g.Progress(), 100);
    EXPECT_EQ(g.Percent(), 100);
    g.SetMaxValue(1000);
    g.SetProgress(999);
    EXPECT_EQ(g.Percent(), 99);
    g.SetMaxValue(0);  // the size a server announced as none
    EXPECT_EQ(g.Progress(), 0);
    EXPECT_EQ(g.Percent(), 0);
    try {
        g.SetMaxValue(-5);
        FAIL();
    } catch (const EInvalidOperation& e) {
        EXPECT_STREQ(e.what(), "Value must be between 1 and 2147483647");
    }
    g.SetMaxValue(10);
    try {
        g.SetMinValue(11);
        FAIL();
    } catch (const EInvalidOperation& e) {
        EXPECT_STREQ(e.what(), "Value must be between -2147483647 and 9");
    }
    g.SetLoading(true);  // stored settings may pass through an odd order
    g.SetMinValue(20);
    EXPECT_EQ(g.MinValue(), 20);
    EXPECT_EQ(g.Progress(), 20);
}

TEST_F(FormFixture, GaugeRepaintsOncePerWholePercent) {
    TGauge g(nullptr, form);
    g.SetMaxValue(1000000);
    int before = g.RepaintCount();
    for (int v = 0; v <= 1000000; v += 997) g.SetProgress(v);
    g.SetProgress(1000000);
    EXPECT_LE(g.RepaintCount() - before, 100);
    EXPECT_GE(g.RepaintCount() - before, 99);
    int now = g.RepaintCount();
    g.SetForeColor(g.ForeColor());  // unchanged: no repaint
    EXPECT_EQ(g.RepaintCount(), now);
}

TEST_F(FormFixture, GaugeBarAndInvertedTextLieWhereTheyShould) {
    TGauge g(nullptr, form);
    g.SetBounds(0, 0, 102, 22);
    g.SetBackColor(clBlack);
    g.SetForeColor(clNavy);
    g.SetProgress(50);
    TBltBitmap pic;
    std::vector<uint8_t> mask(102 * 22, 0);
    int tx, ty;
    g.TextOrigin(10, 8, tx, ty);
    EXPECT_EQ(tx, 45);  // (100 - 10) / 2
    EXPECT_EQ(ty, 6);   // (20 - 8) / 2
    mask[static_cast<size_t>(ty) * 102 + tx] = 255;  // one white glyph pixel over the bar
    mask[static_cast<size_t>(ty) * 102 + 80] = 255;  // and one over the empty part
    g.Render(pic, mask);
    const uint32_t navy = 0x000080;
    EXPECT_EQ(pic.Pixel(0, 0), 0u);            // the black frame
    EXPECT_EQ(pic.Pixel(1, 1), navy);          // bar from the paint area's corner
    EXPECT_EQ(pic.Pixel(49, 10), navy);        // fill = 100 * 0.5 = 50, used as the right edge
    EXPECT_EQ(pic.Pixel(50, 10), 0u);
    EXPECT_EQ(pic.Pixel(tx, ty), navy ^ 0xFFFFFFu);  // inverted over the bar
    EXPECT_EQ(pic.Pixel(80, ty), 0xFFFFFFu);         // white over black
    g.SetShowText(false);
    g.SetBorderStyle(bsNone);
    g.SetProgress(100);
    g.Render(pic, mask);
    EXPECT_EQ(pic.Pixel(0, 0), navy);  // without a border the bar reaches the edges
    EXPECT_EQ(pic.Pixel(101, 21), navy);
    EXPECT_EQ(pic.Pixel(80, ty), navy);  // no text
}

TEST_F(FormFixture, GaugeOnTheScreenShowsItsBarAndInvertedPercentage) {
    auto* g = new TGauge(form, form);
    g->SetBounds(10, 10, 202, 30);
    g->SetBackColor(clBlack);
    g->SetForeColor(clNavy);
    g->Font.Name = kFontMing;
    g->Font.Height = 20;
    g->SetProgress(50);
    form->Show();
    std::vector<uint8_t> px;
    auto at = [&](int x, int y) { const uint8_t* p = &px[(static_cast<size_t>(y) * 202 + x) * 3]; return (p[0] << 16) | (p[1] << 8) | p[2]; };
    PumpUntil([&] {  // mapped and drawn
        px = ReadWindowPixels(form->Window(), 10, 10, 202, 30);
        return px.size() == 202u * 30 * 3 && at(5, 3) == 0x000080;
    });
    ASSERT_EQ(px.size(), 202u * 30 * 3);
    EXPECT_EQ(at(0, 0), 0);            // frame
    EXPECT_EQ(at(5, 3), 0x000080);     // filled half, away from the text
    EXPECT_EQ(at(195, 3), 0);          // empty half
    int inverted = 0;                  // "50%" straddles the bar's end: glyph pixels over both halves
    for (int y = 1; y < 29; ++y)
        for (int x = 1; x < 201; ++x) inverted += at(x, y) != 0 && at(x, y) != 0x000080;
    EXPECT_GT(inverted, 20);
}
