// Checks that belong to the board build: the packaged example configuration is one the daemon
// accepts, file sizes and offsets are 64-bit where long is 32-bit, and so are times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "config.h"
#include "process.h"
#include "service/photo_layout.h"
#include "service/stream.h"

// Photo files and storage-card offsets must not wrap at 2 GiB on the 32-bit board.
static_assert(sizeof(off_t) == 8, "build without _FILE_OFFSET_BITS=64");
// Photo names, folders and message times must not wrap in January 2038.
static_assert(sizeof(time_t) == 8, "build without _TIME_BITS=64");

namespace {

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override { dir = fixture::MakeTempDir("k5-board-"); }
    void TearDown() override { fixture::RemoveTree(dir); }
    std::string dir;
};

// Sets the time zone for one scope and restores the previous one.
class TimeZone {
public:
    explicit TimeZone(const char* zone) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (had_) {
            ::setenv("TZ", old_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

}  // namespace

TEST_F(BoardTest, PackagedExampleConfigurationLoadsCompletely) {
    const std::string netRoot = dir + "/net";
    ASSERT_EQ(mkdir(netRoot.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((netRoot + "/eth0").c_str(), 0755), 0);
    fixture::WriteFile(netRoot + "/eth0/address", "02:00:00:ab:cd:ef\n");

    Config config(K5_EXAMPLE_CONFIG, netRoot);
    ASSERT_TRUE(config.IsLoaded()) << "the example lacks a member or has a wrong type";
    EXPECT_EQ(config[NETIF], "eth0");
    EXPECT_EQ(config[MQTT_TOPIC_COMMAND], "vok/k5/k5_020000abcdef/command");
    // Every number the daemon converts with std::stoi must be one.
    for (FIELD field : {FTP_PHOTO_PORT, CAM1_INDEX, CAM2_INDEX, RFID_SPI_SPEED, RFID_SPI_DELAY,
                        RFID_SPI_BITS}) {
        EXPECT_NO_THROW((void)std::stoi(config[field])) << "field " << field;
    }
    EXPECT_NE(config[CAM1_INDEX], config[CAM2_INDEX]);
}

TEST_F(BoardTest, FileSizesBeyondFourGibibytes) {
    // A sparse file: no disk space is used.
    const std::string path = dir + "/big";
    const int64_t size = (int64_t{5} << 30) + 7;
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
    ASSERT_EQ(lseek(fd, 0, SEEK_END), static_cast<off_t>(size));
    close(fd);

    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<int64_t>(st.st_size), size);

    FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fseeko(file, 0, SEEK_END), 0);
    EXPECT_EQ(static_cast<int64_t>(ftello(file)), size);
    std::fclose(file);
}

TEST_F(BoardTest, PhotoNamesAndFoldersPast2038) {
    const int64_t year2100 = 4102444800;  // 2100-01-01T00:00:00Z
    {
        TimeZone zone("UTC0");
        EXPECT_EQ(Photo::RelativePath(year2100, 1), "2100/1/1/4102444800_1.jpg");
        EXPECT_EQ(Photo::RelativePath(int64_t{2147483648}, 2), "2038/1/19/2147483648_2.jpg");
    }
    {
        // The folder is the local day: still 2099 ten hours west of Greenwich.
        TimeZone zone("<-10>10");
        EXPECT_EQ(Photo::RelativePath(year2100, 1), "2099/12/31/4102444800_1.jpg");
        EXPECT_EQ(photo_layout::MarkerPath("2099/12/31/4102444800_1.jpg"),
                  "2099-12-31/4102444800_1.2099-12-31.pending");
    }
    int64_t seconds = 0;
    int camera = 0;
    ASSERT_TRUE(photo_layout::ParsePhotoName("4102444800_2.jpg", seconds, camera));
    EXPECT_EQ(seconds, year2100);
    EXPECT_EQ(camera, 2);
}
