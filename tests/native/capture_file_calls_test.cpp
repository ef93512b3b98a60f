// The capture file over its POSIX calls on real files: names made in advance beside the path (links, a fifo)
// are never written through, a full filesystem fails the capture and keeps the earlier one, and two runs with
// the same path each keep their own file.
#include "posix/capture_file_calls.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/capture_file.h"
#include "support/small_tmpfs.h"
#include "support/temp_folder.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

using qxtest::ReadBytes;
using qxtest::TempFolder;
using qxtest::WriteBytes;

// Tags counting from 0, so that the names a run tries are known in advance.
CaptureFile::TagSource Counting() {
    return [next = 0u]() mutable { return next++; };
}

std::string PartName(const std::string& path, unsigned tag) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", tag);
    return path + "." + hex + ".partial";
}

// An open that would wait for good ends with EINTR after a few seconds instead, so that a test fails rather
// than hangs.
class OpenWatchdog {
  public:
    OpenWatchdog() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        ::sigaction(SIGALRM, &action, &saved_);  // no SA_RESTART: the blocked call returns
        ::alarm(5);
    }
    ~OpenWatchdog() {
        ::alarm(0);
        ::sigaction(SIGALRM, &saved_, nullptr);
    }
    OpenWatchdog(const OpenWatchdog&) = delete;
    OpenWatchdog& operator=(const OpenWatchdog&) = delete;

  private:
    struct sigaction saved_ {};
};

const std::vector<std::uint8_t> FRAME = {0xFF, 0x3F, 1, 2, 3, 4};
// The file header, then each frame with its record header and the IrDA pseudo-header.
std::uintmax_t CaptureSize(std::uintmax_t frames) {
    return irda::PCAP_FILE_HEADER_SIZE + frames * (16 + irda::PCAP_IRDA_PSEUDO_HEADER_SIZE + FRAME.size());
}
const std::string EARLIER = std::string("\xD4\xC3\xB2\xA1", 4) + "earlier capture";

TEST(CaptureFileCalls, NamesMadeInAdvanceBesideThePathAreNeverWrittenThrough) {
    TempFolder folder;
    const std::string path = folder.File("run.pcap");
    const std::string victim = folder.File("victim.txt");
    WriteBytes(victim, "keep me");
    // Every name a run could take first, made in advance: the old fixed name and the first tags' names,
    // as a symbolic link, a hard link, a dangling link and a fifo.
    fs::create_symlink(victim, path + ".partial");
    fs::create_symlink(victim, PartName(path, 0));
    fs::create_hard_link(victim, PartName(path, 1));
    fs::create_symlink(folder.File("nowhere"), PartName(path, 2));
    ASSERT_EQ(::mkfifo(PartName(path, 3).c_str(), 0600), 0);

    PosixCaptureFileCalls calls;
    CaptureFile capture(calls, path, Counting());
    {
        const OpenWatchdog watchdog;
        ASSERT_EQ(capture.Open().problem, CaptureFile::Problem::None);
    }
    EXPECT_EQ(capture.PartPath(), PartName(path, 4));
    capture.Frame(true, FRAME);
    const CaptureFile::Finished finished = capture.Finish();
    EXPECT_TRUE(finished.placed);
    EXPECT_FALSE(finished.replacedOther);

    EXPECT_EQ(ReadBytes(victim), "keep me");
    EXPECT_FALSE(fs::exists(folder.File("nowhere"))) << "created through a dangling link";
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path))) << "the capture is a file, not a link";
    EXPECT_EQ(fs::file_size(path), CaptureSize(1));
    EXPECT_TRUE(fs::is_symlink(PartName(path, 0)));
    EXPECT_FALSE(fs::exists(PartName(path, 4)));
}

TEST(CaptureFileCalls, AFifoOrADeviceAsThePathIsRefusedAtOnce) {
    TempFolder folder;
    const std::string fifo = folder.File("fifo.pcap");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/null")}) {
        PosixCaptureFileCalls calls;
        CaptureFile capture(calls, path, Counting());
        const OpenWatchdog watchdog;
        EXPECT_EQ(capture.Open().problem, CaptureFile::Problem::NotAFile) << path;
        EXPECT_TRUE(capture.PartPath().empty()) << path;
    }
    EXPECT_FALSE(fs::exists(PartName(fifo, 0)));
}

// Two runs with the same path: each writes its own file, and the second to finish knows that it replaced
// the first's capture.
TEST(CaptureFileCalls, TwoRunsWithOnePathKeepTheirOwnFiles) {
    TempFolder folder;
    const std::string path = folder.File("same.pcap");
    WriteBytes(path, EARLIER);
    PosixCaptureFileCalls firstCalls;
    PosixCaptureFileCalls secondCalls;
    CaptureFile first(firstCalls, path);
    CaptureFile second(secondCalls, path);
    ASSERT_EQ(first.Open().problem, CaptureFile::Problem::None);
    ASSERT_EQ(second.Open().problem, CaptureFile::Problem::None);
    EXPECT_NE(first.PartPath(), second.PartPath());
    first.Frame(true, FRAME);
    for (int i = 0; i < 3; ++i) {
        second.Frame(false, FRAME);
    }
    const CaptureFile::Finished firstDone = first.Finish();
    EXPECT_TRUE(firstDone.placed);
    EXPECT_FALSE(firstDone.replacedOther);
    EXPECT_EQ(fs::file_size(path), CaptureSize(1));
    const CaptureFile::Finished secondDone = second.Finish();
    EXPECT_TRUE(secondDone.placed);
    EXPECT_TRUE(secondDone.replacedOther);
    EXPECT_EQ(fs::file_size(path), CaptureSize(3));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.File("")), fs::directory_iterator()), 1)
        << "no part file left";
}

// On a full filesystem the capture fails, says why, and the earlier capture stays as it was: with no room
// for the header before anything is sent, with room for a few frames at the end.
TEST(CaptureFileCalls, AFullFilesystemFailsTheCaptureAndKeepsTheEarlierOne) {
    qxtest::SmallTmpfs disk(64);
    if (!disk.Mounted()) {
        GTEST_SKIP() << disk.Why();
    }
    const std::string path = disk.File("prev.pcap");
    WriteBytes(path, EARLIER);
    ASSERT_GT(disk.Fill(), 0);
    {
        PosixCaptureFileCalls calls;
        CaptureFile capture(calls, path);
        const CaptureFile::Opened opened = capture.Open();
        EXPECT_EQ(opened.problem, CaptureFile::Problem::CannotWrite);
        EXPECT_EQ(opened.error, static_cast<std::uint32_t>(ENOSPC));
    }
    EXPECT_EQ(ReadBytes(path), EARLIER);

    disk.Free(1);
    PosixCaptureFileCalls calls;
    CaptureFile capture(calls, path);
    ASSERT_EQ(capture.Open().problem, CaptureFile::Problem::None);
    for (int i = 0; i < 300; ++i) {
        capture.Frame(true, FRAME);
    }
    const CaptureFile::Finished finished = capture.Finish();
    EXPECT_TRUE(finished.failed);
    EXPECT_FALSE(finished.placed);
    EXPECT_EQ(finished.error, static_cast<std::uint32_t>(ENOSPC));
    EXPECT_EQ(ReadBytes(path), EARLIER);
    for (const auto& entry : fs::directory_iterator(disk.File(""))) {
        EXPECT_FALSE(entry.path().string().ends_with(".partial")) << entry.path();
    }
}

}  // namespace
}  // namespace qx
