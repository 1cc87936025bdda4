// Path-list files: the bytes written and the four encodings read back.
#include "platform/PathListFile.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using Names = std::vector<std::string>;
using platform::PathListFile;

static std::string Bytes(std::initializer_list<int> b) { return std::string(b.begin(), b.end()); }

TEST(PathListFile, WritesUtf16LeWithMarkAndCrLfAndReadsTheFourEncodingsAndEveryLineBreak)
{
    EXPECT_EQ(PathListFile::Encode({"a", "\xF0\x9F\x98\x80"}), // a, U+1F600
              Bytes({0xFF, 0xFE, 'a', 0, 0x0D, 0, 0x0A, 0, 0x3D, 0xD8, 0x00, 0xDE, 0x0D, 0, 0x0A, 0}));
    const Names want = {"/a/b.bin", "/c/\xE4\xB8\xAD"};
    const std::pair<std::string, Names> cases[] = {
        {PathListFile::Encode(want), want},
        {Bytes({0xFE, 0xFF, 0, '/', 0, 'a', 0, '/', 0, 'b', 0, '.', 0, 'b', 0, 'i', 0, 'n', 0, 0x0D, 0, 0x0A, 0, '/', 0,
                'c', 0, '/', 0x4E, 0x2D}),
         want},
        {"\xEF\xBB\xBF/a/b.bin\n/c/\xE4\xB8\xAD\n", want},
        {"/a/b.bin\r/c/\xE4\xB8\xAD", want},
        // CR LF, CR, LF and U+2028; a break at the end adds no entry, one in the middle does.
        {"a\r\nb\rc\nd\xE2\x80\xA8" "e\r\n", {"a", "b", "c", "d", "e"}},
        {"a\n\nb", {"a", "", "b"}},
        // Odd byte counts and unpaired surrogates are replaced, never read past the end.
        {Bytes({0xFF, 0xFE, 'x', 0, 0x0A, 0, 0x00, 0xD8, 'y'}), {"x", "\xEF\xBF\xBD\xEF\xBF\xBD"}},
    };
    for (const auto& [bytes, entries] : cases)
        EXPECT_EQ(PathListFile::Decode(bytes), entries) << bytes;
}
