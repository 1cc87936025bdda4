// The catalogue's rows in the three languages: the English texts, the Chinese texts the
// station operators know, the stored Big5/GBK bytes, and lookups outside the table.
#include "text/MessageCatalogue.h"

#include "platform/TextCodec.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

namespace {

// Decodes with the C library's converter, independently of the program's own codec.
std::string Decode(std::string bytes, const char* codePage)
{
    iconv_t cd = iconv_open("UTF-8", codePage);
    if (cd == (iconv_t)-1)
        return std::string("<no converter for ") + codePage + ">";
    std::string out(bytes.size() * 4 + 4, '\0');
    char *in = bytes.data(), *o = out.data();
    size_t inLeft = bytes.size(), outLeft = out.size();
    const size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    if (r == (size_t)-1)
        return std::string("<invalid ") + codePage + " bytes>";
    out.resize(out.size() - outLeft);
    return out;
}

// Rows 0..94, then 100..103.
const char* const kEnglish[] = {
    "Blank Check", "Scan Level", "Page Skip", "Read Times", "Permit ECC", "Apply", "Cancel",
    "Factory Setting", "Flash Setting", "Flash Module No", "Bad block rate threshold", "Save", "Load",
    "Device Setting", "Disk split", "Normal", "Encrypted disk", "Hidden disk", "Hidden or Encrypt Disk",
    "Disk ratio", "Hidden Files", "Add Files", "Add Dir", "Remove", "Disk Label", "nonlegal mulitplier",
    "Firmware file not found", "Warning", "Skip page mode may couse flash unstable!", "Disk Size Error",
    "Get BadRate Error", "Sec", "Start Disk", "Write CFG", "Readback CFG", "Compare CFG", " Setup", " End",
    "Check Disk", "Default", "Read CFG", "Parse CFG", "No Support the Flash Pls build Config table",
    "Length of Filepath exceeds 128!", "Too many bad block", "8 devices", "16 devices", "Cannot find",
    "Capacity Rule", "Allow Capacity Error", "Deal With unsatisfying", "Degrade", "Show Error", "Do not care",
    "Bad Block no Exceed", "Valid Size too small", "Special Scan", "FSM init", "Mode Detection",
    "Create config", "Page mode error", "Invalid IMG file", "Image File", "Manual add files", "Use Image File",
    "Image file not exists. Please reassign it.", "Map Image file", "Image Disk Size:", "Create Image",
    "Create", "Success", "Fail", "Init Image Disk", "Image write file", "Image output",
    "GetShortPath name fail!", "Hidden disk too small!", "IMG file error!", "Hidden Files in Nor Flash",
    "SPI hidden files write ", "flash size error!", "SPI read error!", "Nor Flash Setting", "Save Flash Image",
    "Bad", "Fast Blanking Check",
    "Fast Blanking Check cannot guarantee the stablity of data access.\nStill want to select this tiem?and must use good flash",
    "SDK Ver and NAND Flash no match", "Pls input Password", "Password Setting", "Input", "Program write",
    "Check Data ", "Check Data ", "Nor Read Check",
    "Fix Usb IO", "Clear FLASH", "Please insert the required fixed USB IO port", "Fix Usb IO Port",
};

// The Chinese texts stations know (nullptr: ours to choose).
const struct {
    int row;
    const char* traditional;
    const char* simplified;
} kQuotedChinese[] = {
    {0, "低格設定", "低格设定"}, {1, "掃瞄級別", "扫瞄级别"}, {2, "Page間隔數", "Page间隔数"},
    {3, "Read次數", "Read Times"}, {4, "ECC容錯數", "ECC容错数"}, {5, "套用", "套用"}, {6, "取消", "取消"},
    {7, "工廠設定", "工厂设定"}, {8, "閃存設定", "闪存设定"}, {9, "閃存模組數(自動偵測)", "闪存模组数(自动侦测)"},
    {10, "要求低格\n當壞塊率大於", "要求低格\n当坏块率大于"}, {11, "儲存配置", "储存配置"},
    {12, "開啟配置", "开启配置"}, {13, "裝置設定", "装置设定"}, {14, "磁碟分區", "磁碟分区"},
    {15, "一般碟", "一般碟"}, {16, "加密碟", "加密碟"}, {17, "隱藏碟", "隐藏碟"},
    {18, "加密或隱藏碟", "加密或隐藏碟"}, {19, "分區百分比", "分区百分比"},
    {20, "預先拷入隱藏檔", "预先拷入隐藏档"}, {21, "加檔案", "加档案"}, {22, "加目錄", "加目录"},
    {23, "移除", "移除"}, {24, "磁碟標籤", "磁碟标签"}, {27, "警告", "警告"},
    {28, "跳頁掃瞄方式存在閃存不穩性的風險!", "跳页扫瞄方式存在闪存不稳性的风险!"}, {39, "預設值", "默认值"},
    {48, "容量規則", "容量规则"}, {49, "允許容量誤差", "允许容量误差"}, {50, "容量不足之處理", "容量不足之处理"},
    {51, "降級使用", "降级使用"}, {52, "顯示失敗", "显示失败"}, {53, "不做處理", "不做处理"},
    {56, "特殊掃瞄", "特殊扫瞄"}, {61, "無效映像檔", "无效映像档"}, {62, "映像檔", "映像档"},
    {63, "手動加入檔案", "手动加入档案"}, {64, "使用映像檔", "映像档"}, {67, "映像碟容量:", "映像碟容量:"},
    {69, "新建", "新建"}, {78, "預先放入 Nor Flash 的隱藏檔", "预先放入 Nor Flash 的隐藏档"},
    {82, "Nor Flash 設定", "Nor Flash 设定"}, {83, "回存Flash映像檔", "回存Flash映像档"},
    {85, "僅低格系統區", "仅低格系统区"}, {88, "請輸入密碼", "请输入密码"}, {89, "密碼設定", "密码设定"},
    {90, "輸入", "输入"}, {100, "固定USB IO口", "固定USB IO口"}, {101, "清空 FLASH", "清空 FLASH"},
    {102, "請插入所需要固定的 USB IO port", "请插入所需要固定的 USB IO port"}, {103, "固定USB IO口", "固定USB IO口"},
    {86, "僅低格系統區不能保證資料區的穩定性！\n仍然要勾選此選項？且需使用正品",
     "仅低格系统区不能保证资料区的稳定性！\n仍然要勾选此选项？且需使用正品"},
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
    // Every id 0..94 and 100..103 has a row, nothing else.
    ASSERT_EQ(std::size(kEnglish), 99u);
    EXPECT_EQ(AllRows().size(), 99u);
    for (int i = 0; i < 99; ++i) {
        const int row = i < 95 ? i : i + 5;
        SCOPED_TRACE(row);
        EXPECT_TRUE(MessageCatalogueHasRow(row));
        EXPECT_STREQ(MessageCatalogue(row, kLanguageEnglish), kEnglish[i]);
        EXPECT_STREQ(MessageCatalogueBytes(row, kLanguageEnglish), kEnglish[i]);
    }
}

TEST(MessageCatalogue, QuotedChineseRowsDecodeToTheirTexts)
{
    for (const auto& c : kQuotedChinese) {
        SCOPED_TRACE(c.row);
        if (c.traditional != nullptr) {
            EXPECT_STREQ(MessageCatalogue(c.row, kLanguageTraditionalChinese), c.traditional);
            EXPECT_EQ(Decode(MessageCatalogueBytes(c.row, kLanguageTraditionalChinese), "CP950"), c.traditional);
        }
        EXPECT_STREQ(MessageCatalogue(c.row, kLanguageSimplifiedChinese), c.simplified);
        EXPECT_EQ(Decode(MessageCatalogueBytes(c.row, kLanguageSimplifiedChinese), "GBK"), c.simplified);
    }
    // Row 27 as stored: Big5 C4 B5 A7 69, GBK BE AF B8 E6.
    EXPECT_STREQ(MessageCatalogueBytes(27, kLanguageTraditionalChinese), "\xC4\xB5\xA7\x69");
    EXPECT_STREQ(MessageCatalogueBytes(27, kLanguageSimplifiedChinese), "\xBE\xAF\xB8\xE6");
}

TEST(MessageCatalogue, EveryChineseTextDecodesToItsUtf8Form)
{
    using platform::CodePage;
    for (int r : AllRows()) {
        SCOPED_TRACE(r);
        const std::string big5 = MessageCatalogueBytes(r, kLanguageTraditionalChinese);
        const std::string gbk = MessageCatalogueBytes(r, kLanguageSimplifiedChinese);
        const std::string tc = MessageCatalogue(r, kLanguageTraditionalChinese);
        const std::string sc = MessageCatalogue(r, kLanguageSimplifiedChinese);
        EXPECT_FALSE(big5.empty() || gbk.empty());
        EXPECT_EQ(Decode(big5, "CP950"), tc);
        EXPECT_EQ(Decode(gbk, "GBK"), sc);
        // The program's own codec agrees both ways.
        EXPECT_EQ(platform::DecodeToUtf8(big5, CodePage::Big5), tc);
        EXPECT_EQ(platform::DecodeToUtf8(gbk, CodePage::Gbk), sc);
        EXPECT_EQ(platform::EncodeFromUtf8(tc, CodePage::Big5), big5);
        EXPECT_EQ(platform::EncodeFromUtf8(sc, CodePage::Gbk), gbk);
        for (unsigned lang = 0; lang < kLanguageCount; ++lang)
            EXPECT_EQ(std::string(MessageCatalogueBytes(r, lang)).find('\r'), std::string::npos);
        for (unsigned char ch : std::string(MessageCatalogue(r, kLanguageEnglish)))
            EXPECT_LT(ch, 0x80);
    }
}

TEST(MessageCatalogue, BlanksAndLineBreaksAreKeptInEveryLanguage)
{
    for (unsigned lang = 0; lang < kLanguageCount; ++lang) {
        SCOPED_TRACE(lang);
        EXPECT_EQ(MessageCatalogueBytes(36, lang)[0], ' ');
        EXPECT_EQ(MessageCatalogue(36, lang)[0], ' ');
        for (int r : {79, 92, 93}) {
            const std::string bytes = MessageCatalogueBytes(r, lang), utf8 = MessageCatalogue(r, lang);
            ASSERT_FALSE(bytes.empty());
            EXPECT_EQ(bytes.back(), ' ') << r;
            EXPECT_EQ(utf8.back(), ' ') << r;
        }
        const std::string warning = MessageCatalogueBytes(86, lang);
        EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 1);
    }
    EXPECT_EQ(std::string(MessageCatalogue(92, kLanguageEnglish)) + "fail", "Check Data fail");
    // Rows 92 and 93 share their English text, not their Chinese ones.
    EXPECT_STRNE(MessageCatalogue(92, kLanguageTraditionalChinese), MessageCatalogue(93, kLanguageTraditionalChinese));
    EXPECT_STRNE(MessageCatalogue(92, kLanguageSimplifiedChinese), MessageCatalogue(93, kLanguageSimplifiedChinese));
    // Row 10: one line in English, broken after four characters in Chinese.
    EXPECT_EQ(std::string(MessageCatalogueBytes(10, kLanguageTraditionalChinese)).find('\n'), 8u);
    EXPECT_EQ(std::string(MessageCatalogueBytes(10, kLanguageSimplifiedChinese)).find('\n'), 8u);
}

TEST(MessageCatalogue, LookupsOutsideTheTableGiveNoGarbage)
{
    for (int r : {-1, 95, 99, 104, 1000, INT_MIN, INT_MAX}) {
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
