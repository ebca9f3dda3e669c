#include "app/protocol/FileBytes.h"
#include "app/protocol/TuningImport.h"

#include "testing/HexBytes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

using namespace malvo;
using malvo::test::concat;
using malvo::test::hex;
namespace fs = std::filesystem;

namespace {

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "malvo-protocol-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path write(const std::string& name, std::string_view contents) {
        std::ofstream(dir / name, std::ios::binary) << contents;
        return dir / name;
    }

    fs::path dir;
};

using TuningImportFiles = TempDir;
using FileBytes = TempDir;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

const std::string_view fifths = "! fifths\nFifths\n2\n3/2\n2/1\n";

} // namespace

TEST(TuningImport, ScalaFileBecomesADumpNamedAfterTheFile) {
    const auto imported = TuningImport::fromContents("/music/Just major.scl", bytesOf(fifths));
    ASSERT_TRUE(imported);
    EXPECT_EQ(imported->name, "Just major");
    ASSERT_TRUE(imported->scale);
    EXPECT_EQ(imported->scale->num, 2);
    EXPECT_EQ(imported->mts_data, imported->scale->mtsData());
    EXPECT_EQ(imported->mts_file, TuningDump::fromNoteData(imported->mts_data, "Just major"));
    const auto& bytes = imported->mts_file.bytes();
    EXPECT_EQ(std::vector(bytes.begin() + 6, bytes.begin() + 16), hex("4A 75 73 74 20 6D 61 6A 6F 72"));
}

TEST(TuningImport, OnlyTheLowerCaseSclExtensionIsAScalaFile) {
    EXPECT_FALSE(TuningImport::fromContents("Scale.SCL", bytesOf(fifths))) << "taken as a dump, too short";
    EXPECT_TRUE(TuningImport::fromContents("Scale.scl", bytesOf(fifths)));
    EXPECT_FALSE(TuningImport::fromContents("Scale.syx", bytesOf(fifths)));
    EXPECT_EQ(TuningImport::nameOf("/a/b.c/name.with.dots.scl"), "name.with.dots");
}

TEST(TuningImport, DumpFileIsTakenUnchanged) {
    const auto file = concat({hex("F0 7E 00 08 01 00"), std::vector<std::uint8_t>(401, 0x7F), hex("F7")});
    const auto imported = TuningImport::fromContents("slot.syx", file);
    ASSERT_TRUE(imported);
    EXPECT_EQ(imported->name, "slot");
    EXPECT_FALSE(imported->scale);
    EXPECT_EQ(imported->mts_file.bytes(), file);
}

TEST_F(TuningImportFiles, ReadsScalaAndDumpFilesFromDisk) {
    const auto scl = TuningImport::fromFile(write("fifths.scl", fifths));
    ASSERT_TRUE(scl);
    EXPECT_EQ(scl->name, "fifths");

    const auto dumpBytes =
        concat({hex("F0 7E 00 08 01 00"), std::vector<std::uint8_t>(401, 0), hex("F7 F0 F7")});
    const auto syx =
        TuningImport::fromFile(write("slot.syx", std::string(dumpBytes.begin(), dumpBytes.end())));
    ASSERT_TRUE(syx);
    EXPECT_EQ(syx->mts_file.bytes(), std::vector(dumpBytes.begin(), dumpBytes.begin() + 408));

    EXPECT_FALSE(
        TuningImport::fromFile(write("short.syx", std::string(dumpBytes.begin(), dumpBytes.begin() + 407))));
    EXPECT_FALSE(TuningImport::fromFile(dir / "missing.scl"));
    fs::create_directory(dir / "folder.scl");
    EXPECT_FALSE(TuningImport::fromFile(dir / "folder.scl"));
}

TEST_F(FileBytes, ReplacingWritesTheWholeFileOrNothing) {
    const fs::path target = write("bank.p", "old contents");
    ::chmod(target.c_str(), 0640);
    const std::vector<std::uint8_t> fresh(1000, 0x5A);
    ASSERT_TRUE(writeFileReplacing(target, fresh));
    EXPECT_EQ(readFileBytes(target, 1 << 20), fresh);
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(readFileBytes(target, 10), std::vector<std::uint8_t>(10, 0x5A));

    EXPECT_FALSE(writeFileReplacing(dir / "no-such-folder" / "x.syx", fresh));
    fs::create_directory(dir / "occupied");
    EXPECT_FALSE(writeFileReplacing(dir / "occupied", fresh));
    EXPECT_TRUE(fs::is_directory(dir / "occupied"));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir))
        ++entries;
    EXPECT_EQ(entries, 2u) << "no temporary file left behind";

    ASSERT_TRUE(writeFileReplacing(dir / "new.syx", {}));
    EXPECT_EQ(readFileBytes(dir / "new.syx", 10), std::vector<std::uint8_t>{});
    EXPECT_FALSE(readFileBytes(dir / "missing", 10));
}
