// The catalogue's rows in the three languages: the English texts, the Chinese texts the
// station operators know, the stored Big5/GBK bytes, and lookups outside the table.
#include "ui/MessageCatalogue.h"

#include "platform/TextCodec.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

namespace {

// Decodes with the C library's converter, independently of the program's own codec.
std::string Decode(const std::string& bytes, const char* codePage)
{
    iconv_t cd = iconv_open("UTF-8", codePage);
    if (cd == (iconv_t)-1)
        return "<no converter for " + std::string(codePage) + ">";
    std::string out(bytes.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* o = out.data();
    size_t outLeft = out.size();
    size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    if (r == (size_t)-1)
        return "<invalid " + std::string(codePage) + " bytes>";
    out.resize(out.size() - outLeft);
    return out;
}

struct EnglishRow {
    int row;
    const char* text;
};

const EnglishRow kEnglish[] = {
    {0, "Blank Check"},
    {1, "Scan Level"},
    {2, "Page Skip"},
    {3, "Read Times"},
    {4, "Permit ECC"},
    {5, "Apply"},
    {6, "Cancel"},
    {7, "Factory Setting"},
    {8, "Flash Setting"},
    {9, "Flash Module No"},
    {10, "Bad block rate threshold"},
    {11, "Save"},
    {12, "Load"},
    {13, "Device Setting"},
    {14, "Disk split"},
    {15, "Normal"},
    {16, "Encrypted disk"},
    {17, "Hidden disk"},
    {18, "Hidden or Encrypt Disk"},
    {19, "Disk ratio"},
    {20, "Hidden Files"},
    {21, "Add Files"},
    {22, "Add Dir"},
    {23, "Remove"},
    {24, "Disk Label"},
    {25, "nonlegal mulitplier"},
    {26, "Firmware file not found"},
    {27, "Warning"},
    {28, "Skip page mode may couse flash unstable!"},
    {29, "Disk Size Error"},
    {30, "Get BadRate Error"},
    {31, "Sec"},
    {32, "Start Disk"},
    {33, "Write CFG"},
    {34, "Readback CFG"},
    {35, "Compare CFG"},
    {36, " Setup"},
    {37, " End"},
    {38, "Check Disk"},
    {39, "Default"},
    {40, "Read CFG"},
    {41, "Parse CFG"},
    {42, "No Support the Flash Pls build Config table"},
    {43, "Length of Filepath exceeds 128!"},
    {44, "Too many bad block"},
    {45, "8 devices"},
    {46, "16 devices"},
    {47, "Cannot find"},
    {48, "Capacity Rule"},
    {49, "Allow Capacity Error"},
    {50, "Deal With unsatisfying"},
    {51, "Degrade"},
    {52, "Show Error"},
    {53, "Do not care"},
    {54, "Bad Block no Exceed"},
    {55, "Valid Size too small"},
    {56, "Special Scan"},
    {57, "FSM init"},
    {58, "Mode Detection"},
    {59, "Create config"},
    {60, "Page mode error"},
    {61, "Invalid IMG file"},
    {62, "Image File"},
    {63, "Manual add files"},
    {64, "Use Image File"},
    {65, "Image file not exists. Please reassign it."},
    {66, "Map Image file"},
    {67, "Image Disk Size:"},
    {68, "Create Image"},
    {69, "Create"},
    {70, "Success"},
    {71, "Fail"},
    {72, "Init Image Disk"},
    {73, "Image write file"},
    {74, "Image output"},
    {75, "GetShortPath name fail!"},
    {76, "Hidden disk too small!"},
    {77, "IMG file error!"},
    {78, "Hidden Files in Nor Flash"},
    {79, "SPI hidden files write "},
    {80, "flash size error!"},
    {81, "SPI read error!"},
    {82, "Nor Flash Setting"},
    {83, "Save Flash Image"},
    {84, "Bad"},
    {85, "Fast Blanking Check"},
    {86, "Fast Blanking Check cannot guarantee the stablity of data access.\nStill want to select this tiem?and must use good flash"},
    {87, "SDK Ver and NAND Flash no match"},
    {88, "Pls input Password"},
    {89, "Password Setting"},
    {90, "Input"},
    {91, "Program write"},
    {92, "Check Data "},
    {93, "Check Data "},
    {94, "Nor Read Check"},
    {100, "Fix Usb IO"},
    {101, "Clear FLASH"},
    {102, "Please insert the required fixed USB IO port"},
    {103, "Fix Usb IO Port"},
};

struct ChineseRow {
    int row;
    const char* traditional;  // nullptr: the text is ours to choose
    const char* simplified;
};

const ChineseRow kQuotedChinese[] = {
    {0, "低格設定", "低格设定"},
    {1, "掃瞄級別", "扫瞄级别"},
    {2, "Page間隔數", "Page间隔数"},
    {3, "Read次數", "Read Times"},
    {4, "ECC容錯數", "ECC容错数"},
    {5, "套用", "套用"},
    {6, "取消", "取消"},
    {7, "工廠設定", "工厂设定"},
    {8, "閃存設定", "闪存设定"},
    {9, "閃存模組數(自動偵測)", "闪存模组数(自动侦测)"},
    {10, "要求低格\n當壞塊率大於", "要求低格\n当坏块率大于"},
    {11, "儲存配置", "储存配置"},
    {12, "開啟配置", "开启配置"},
    {13, "裝置設定", "装置设定"},
    {14, "磁碟分區", "磁碟分区"},
    {15, "一般碟", "一般碟"},
    {16, "加密碟", "加密碟"},
    {17, "隱藏碟", "隐藏碟"},
    {18, "加密或隱藏碟", "加密或隐藏碟"},
    {19, "分區百分比", "分区百分比"},
    {20, "預先拷入隱藏檔", "预先拷入隐藏档"},
    {21, "加檔案", "加档案"},
    {22, "加目錄", "加目录"},
    {23, "移除", "移除"},
    {24, "磁碟標籤", "磁碟标签"},
    {27, "警告", "警告"},
    {28, "跳頁掃瞄方式存在閃存不穩性的風險!", "跳页扫瞄方式存在闪存不稳性的风险!"},
    {39, "預設值", "默认值"},
    {48, "容量規則", "容量规则"},
    {49, "允許容量誤差", "允许容量误差"},
    {50, "容量不足之處理", "容量不足之处理"},
    {51, "降級使用", "降级使用"},
    {52, "顯示失敗", "显示失败"},
    {53, "不做處理", "不做处理"},
    {56, "特殊掃瞄", "特殊扫瞄"},
    {61, "無效映像檔", "无效映像档"},
    {62, "映像檔", "映像档"},
    {63, "手動加入檔案", "手动加入档案"},
    {64, "使用映像檔", "映像档"},
    {67, "映像碟容量:", "映像碟容量:"},
    {69, "新建", "新建"},
    {78, "預先放入 Nor Flash 的隱藏檔", "预先放入 Nor Flash 的隐藏档"},
    {82, "Nor Flash 設定", "Nor Flash 设定"},
    {83, "回存Flash映像檔", "回存Flash映像档"},
    {85, "僅低格系統區", "仅低格系统区"},
    {88, "請輸入密碼", "请输入密码"},
    {89, "密碼設定", "密码设定"},
    {90, "輸入", "输入"},
    {100, "固定USB IO口", "固定USB IO口"},
    {101, "清空 FLASH", "清空 FLASH"},
    {102, "請插入所需要固定的 USB IO port", "请插入所需要固定的 USB IO port"},
    {103, "固定USB IO口", "固定USB IO口"},
    {86, "僅低格系統區不能保證資料區的穩定性！\n仍然要勾選此選項？且需使用正品", "仅低格系统区不能保证资料区的稳定性！\n仍然要勾选此选项？且需使用正品"},
    {94, nullptr, "Nor读回检查"},
};

std::vector<int> AllRows()
{
    std::vector<int> rows;
    for (int r = 0; r <= kMessageCatalogueLastRow; ++r)
        if (MessageCatalogueHasRow(r))
            rows.push_back(r);
    return rows;
}

} // namespace

TEST(MessageCatalogue, EnglishTextsExactlyAsListed)
{
    for (const EnglishRow& e : kEnglish) {
        SCOPED_TRACE(e.row);
        EXPECT_TRUE(MessageCatalogueHasRow(e.row));
        EXPECT_STREQ(MessageCatalogue(e.row, kLanguageEnglish), e.text);
        EXPECT_STREQ(MessageCatalogueBytes(e.row, kLanguageEnglish), e.text);
    }
    // Every id 0..94 and 100..103 has a row, nothing else.
    EXPECT_EQ(AllRows().size(), std::size(kEnglish));
    EXPECT_EQ(AllRows().size(), 99u);
}

TEST(MessageCatalogue, QuotedChineseRowsDecodeToTheirTexts)
{
    for (const ChineseRow& c : kQuotedChinese) {
        SCOPED_TRACE(c.row);
        if (c.traditional != nullptr) {
            EXPECT_STREQ(MessageCatalogue(c.row, kLanguageTraditionalChinese), c.traditional);
            EXPECT_EQ(Decode(MessageCatalogueBytes(c.row, kLanguageTraditionalChinese), "CP950"),
                      c.traditional);
        }
        EXPECT_STREQ(MessageCatalogue(c.row, kLanguageSimplifiedChinese), c.simplified);
        EXPECT_EQ(Decode(MessageCatalogueBytes(c.row, kLanguageSimplifiedChinese), "GBK"),
                  c.simplified);
    }
}

TEST(MessageCatalogue, RowWarningGivesItsThreeStoredForms)
{
    EXPECT_STREQ(MessageCatalogueBytes(27, kLanguageEnglish), "Warning");
    EXPECT_EQ(std::string(MessageCatalogueBytes(27, kLanguageTraditionalChinese)),
              std::string("\xC4\xB5\xA7\x69"));
    EXPECT_EQ(std::string(MessageCatalogueBytes(27, kLanguageSimplifiedChinese)),
              std::string("\xBE\xAF\xB8\xE6"));
    EXPECT_STREQ(MessageCatalogue(27, kLanguageTraditionalChinese), "警告");
    EXPECT_STREQ(MessageCatalogue(27, kLanguageSimplifiedChinese), "警告");
}

TEST(MessageCatalogue, EveryChineseTextDecodesToItsUtf8Form)
{
    for (int r : AllRows()) {
        SCOPED_TRACE(r);
        const std::string big5 = MessageCatalogueBytes(r, kLanguageTraditionalChinese);
        const std::string gbk = MessageCatalogueBytes(r, kLanguageSimplifiedChinese);
        EXPECT_FALSE(big5.empty());
        EXPECT_FALSE(gbk.empty());
        EXPECT_EQ(Decode(big5, "CP950"), MessageCatalogue(r, kLanguageTraditionalChinese));
        EXPECT_EQ(Decode(gbk, "GBK"), MessageCatalogue(r, kLanguageSimplifiedChinese));
        // The program's own codec agrees both ways.
        EXPECT_EQ(platform::DecodeToUtf8(big5, platform::CodePage::Big5),
                  MessageCatalogue(r, kLanguageTraditionalChinese));
        EXPECT_EQ(platform::DecodeToUtf8(gbk, platform::CodePage::Gbk),
                  MessageCatalogue(r, kLanguageSimplifiedChinese));
        EXPECT_EQ(platform::EncodeFromUtf8(MessageCatalogue(r, kLanguageTraditionalChinese),
                                           platform::CodePage::Big5), big5);
        EXPECT_EQ(platform::EncodeFromUtf8(MessageCatalogue(r, kLanguageSimplifiedChinese),
                                           platform::CodePage::Gbk), gbk);
        for (unsigned lang = 0; lang < kLanguageCount; ++lang) {
            const std::string text = MessageCatalogueBytes(r, lang);
            EXPECT_EQ(text.find('\r'), std::string::npos);
        }
        for (unsigned char ch : std::string(MessageCatalogue(r, kLanguageEnglish)))
            EXPECT_LT(ch, 0x80);
    }
}

TEST(MessageCatalogue, BlanksAtEitherEndAreKeptInEveryLanguage)
{
    for (unsigned lang = 0; lang < kLanguageCount; ++lang) {
        SCOPED_TRACE(lang);
        EXPECT_EQ(MessageCatalogueBytes(36, lang)[0], ' ');
        EXPECT_EQ(MessageCatalogue(36, lang)[0], ' ');
        for (int r : {79, 92, 93}) {
            const std::string bytes = MessageCatalogueBytes(r, lang);
            const std::string utf8 = MessageCatalogue(r, lang);
            ASSERT_FALSE(bytes.empty());
            EXPECT_EQ(bytes.back(), ' ') << r;
            EXPECT_EQ(utf8.back(), ' ') << r;
        }
    }
    EXPECT_EQ(std::string(MessageCatalogue(92, kLanguageEnglish)) + "fail", "Check Data fail");
    EXPECT_EQ(std::string(MessageCatalogue(79, kLanguageEnglish)) + "fail",
              "SPI hidden files write fail");
}

TEST(MessageCatalogue, LineBreaks)
{
    for (unsigned lang = 0; lang < kLanguageCount; ++lang) {
        SCOPED_TRACE(lang);
        const std::string warning = MessageCatalogueBytes(86, lang);
        EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 1);
        EXPECT_EQ(warning.find('\r'), std::string::npos);
    }
    EXPECT_EQ(std::string(MessageCatalogue(86, kLanguageEnglish)).find('\n'),
              std::string("Fast Blanking Check cannot guarantee the stablity of data access.").size());

    // Row 10: one line in English, broken after four characters in Chinese.
    EXPECT_EQ(std::string(MessageCatalogue(10, kLanguageEnglish)).find('\n'), std::string::npos);
    EXPECT_EQ(std::string(MessageCatalogueBytes(10, kLanguageTraditionalChinese)).find('\n'), 8u);
    EXPECT_EQ(std::string(MessageCatalogueBytes(10, kLanguageSimplifiedChinese)).find('\n'), 8u);
}

TEST(MessageCatalogue, SharedEnglishRowsDifferInChinese)
{
    EXPECT_STREQ(MessageCatalogue(92, kLanguageEnglish), MessageCatalogue(93, kLanguageEnglish));
    EXPECT_STRNE(MessageCatalogue(92, kLanguageTraditionalChinese),
                 MessageCatalogue(93, kLanguageTraditionalChinese));
    EXPECT_STRNE(MessageCatalogue(92, kLanguageSimplifiedChinese),
                 MessageCatalogue(93, kLanguageSimplifiedChinese));
    EXPECT_STRNE(MessageCatalogue(94, kLanguageTraditionalChinese), "");
}

TEST(MessageCatalogue, LookupsOutsideTheTableGiveNoGarbage)
{
    for (int r : {-1, 95, 96, 97, 98, 99, 104, 105, 1000, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(r);
        EXPECT_FALSE(MessageCatalogueHasRow(r));
        for (unsigned lang : {0u, 1u, 2u, 3u, 0xFFFFFFFFu}) {
            ASSERT_NE(MessageCatalogue(r, lang), nullptr);
            ASSERT_NE(MessageCatalogueBytes(r, lang), nullptr);
            EXPECT_STREQ(MessageCatalogue(r, lang), "");
            EXPECT_STREQ(MessageCatalogueBytes(r, lang), "");
        }
    }
    // A language index out of range falls back to English rather than past the row.
    for (unsigned lang : {3u, 7u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(MessageCatalogue(27, lang), "Warning");
        EXPECT_STREQ(MessageCatalogueBytes(103, lang), "Fix Usb IO Port");
    }
}
