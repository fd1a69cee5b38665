// The passes of the system driver scan other than the raw reads, timed
// natively (not a test) on files like those of the Wine scan benchmark (200
// driver-sized files of 100 KiB to 4 MiB, warm page cache), so that their
// shares can be compared once the raw copy reads whole runs:
//   raw reads      every file read once in 1 MiB pieces (what the raw copy reads)
//   copy writes    each copy written in 1 MiB pieces into the work folder
//   work files     each copy's file created new and deleted
//   digest reads   the copy and the file each read in 1024-byte pieces
//   MD5            the hash of the copy and of the file (md5sum, one process)
// Linux system calls cost less than Windows ones: the shares are a guide.
//
//   make bench-passes   (or: build/native/scan_passes)

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

template <typename F>
double Seconds(F run)
{
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ReadWhole(const std::string& path, std::vector<char>& buffer, std::size_t piece)
{
    const int fd = open(path.c_str(), O_RDONLY);
    while (read(fd, buffer.data(), piece) > 0) {
    }
    close(fd);
}

} // namespace

int main()
{
    const char* parent = std::getenv("TMPDIR");
    std::string name = std::string(parent != nullptr && *parent != '\0' ? parent : "/tmp") + "/scan-passes.XXXXXX";
    const std::filesystem::path dir = mkdtemp(name.data());
    const std::filesystem::path work = dir / "work";
    std::filesystem::create_directory(work);

    std::mt19937_64 random(6);
    std::vector<std::string> files;
    std::vector<std::size_t> sizes;
    uint64_t total = 0;
    for (int i = 0; i < 200; ++i) {
        const std::size_t size = 102400 + random() % (4194304 - 102400 + 1);
        std::vector<char> bytes(size);
        for (auto& b : bytes)
            b = static_cast<char>(random());
        files.push_back((dir / ("bench" + std::to_string(i) + ".sys")).string());
        sizes.push_back(size);
        FILE* out = std::fopen(files.back().c_str(), "wb");
        std::fwrite(bytes.data(), 1, size, out);
        std::fclose(out);
        total += size;
    }
    std::vector<char> buffer(1 << 20);
    for (const auto& f : files)
        ReadWhole(f, buffer, buffer.size()); // warm the cache

    const double rawReads = Seconds([&] {
        for (const auto& f : files)
            ReadWhole(f, buffer, 1 << 20);
    });
    double copyWrites = 0;
    double workFiles = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string copy = (work / std::filesystem::path(files[i]).filename()).string();
        int fd = -1;
        workFiles += Seconds([&] { fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600); });
        copyWrites += Seconds([&] {
            for (std::size_t at = 0; at < sizes[i]; at += 1 << 20)
                if (pwrite(fd, buffer.data(), std::min<std::size_t>(1 << 20, sizes[i] - at), static_cast<off_t>(at)) < 0)
                    std::exit(1);
        });
        workFiles += Seconds([&] {
            close(fd);
            unlink(copy.c_str());
        });
    }
    const double digestReads = Seconds([&] {
        for (const auto& f : files) {
            ReadWhole(f, buffer, 1024);
            ReadWhole(f, buffer, 1024);
        }
    });
    const double digestReadsLarge = Seconds([&] {
        for (const auto& f : files) {
            ReadWhole(f, buffer, 64 << 10);
            ReadWhole(f, buffer, 64 << 10);
        }
    });
    std::string list;
    for (const auto& f : files)
        list += " " + f + " " + f;
    const double md5 = Seconds([&] {
        if (std::system(("md5sum" + list + " > /dev/null").c_str()) != 0)
            std::exit(1);
    });

    std::printf("200 files, %.0f MiB\n", total / 1048576.0);
    std::printf("raw reads (1 MiB pieces)              %7.3f s\n", rawReads);
    std::printf("copy writes (1 MiB pieces)            %7.3f s\n", copyWrites);
    std::printf("work files (create new, delete)       %7.3f s\n", workFiles);
    std::printf("digest reads, copy and file (1 KiB)   %7.3f s  (%.0f reads)\n", digestReads, 2.0 * total / 1024);
    std::printf("the same reads in 64 KiB pieces       %7.3f s\n", digestReadsLarge);
    std::printf("MD5 of copy and file (md5sum)         %7.3f s\n", md5);
    std::filesystem::remove_all(dir);
    return 0;
}
