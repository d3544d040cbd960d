// plovik: copy the first 5 MiB of an image file into an output file.
//
// The image is read whole before the output is opened, so both operands may
// name the same file: it is then cut in place to its first 5 MiB. The output
// is written over, not truncated first, and only then cut to the copy's
// length, so a cut in place that fails or is interrupted loses nothing.

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

constexpr std::size_t copy_limit = 0x500000;

constexpr const char *usage = "Usage : PLOVIK <Image File> <Output File>\n";
constexpr const char *memory_error = "ERROR: Memory allocation failed\n";
constexpr const char *open_error = "ERROR: Unable to open file ";
constexpr const char *read_error = "ERROR: Unable to read file ";
constexpr const char *write_error = "ERROR: Unable to write file ";

// malloc rather than new keeps the C++ runtime library out of the process.
struct heap_free {
    void operator()(void *block) const { std::free(block); }
};
template <typename T>
using heap_ptr = std::unique_ptr<T, heap_free>;

// Every message ends a run with status 1, which a failed write to standard
// output could not make any worse.
void say(const char *text) { static_cast<void>(std::fputs(text, stdout)); }

#ifdef __linux__

// A fresh buffer costs a page fault for each 4 KiB page the read fills, which
// is most of a large copy's time. Aligned and advised, the part that a regular
// image will fill takes 2 MiB pages instead. The rest, and the whole buffer
// for a pipe or a device, stays plain, so a small image does not pay for
// zeroing memory it never uses.
unsigned char *allocate_buffer(std::FILE *image) {
    constexpr std::size_t huge_page = 0x200000;
    void *buffer = nullptr;
    if (posix_memalign(&buffer, huge_page, copy_limit) != 0) {
        return nullptr;
    }
    struct stat image_status {};
    if (fstat(fileno(image), &image_status) == 0 && S_ISREG(image_status.st_mode)) {
        const auto size = static_cast<std::uintmax_t>(image_status.st_size);
        const std::size_t fill = size < copy_limit ? static_cast<std::size_t>(size) : copy_limit;
        const std::size_t span = fill / huge_page * huge_page;
        if (span > 0) {
            static_cast<void>(madvise(buffer, span, MADV_HUGEPAGE));
        }
    }
    return static_cast<unsigned char *>(buffer);
}

#else

unsigned char *allocate_buffer(std::FILE * /*image*/) {
    return static_cast<unsigned char *>(std::malloc(copy_limit));
}

#endif

#ifdef _WIN32

// Wide names throughout, so that a name outside the ANSI code page reaches
// the file system and the reader as it was typed.
using path_char = wchar_t;

std::FILE *open_image(const wchar_t *name) { return _wfopen(name, L"rb"); }

// Created if absent, never truncated here: set_length cuts a longer file
// once the copy is in it.
std::FILE *open_output(const wchar_t *name) {
    const int fd = _wopen(name, _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE *output = _fdopen(fd, "wb");
    if (output == nullptr) {
        static_cast<void>(_close(fd));
    }
    return output;
}

bool set_length(std::FILE *output, std::size_t count) {
    const int fd = _fileno(output);
    struct _stat64 status {};
    if (_fstat64(fd, &status) != 0) {
        return false;
    }
    if ((status.st_mode & _S_IFMT) != _S_IFREG ||
        static_cast<std::uintmax_t>(status.st_size) <= count) {
        return true;
    }
    return _chsize_s(fd, static_cast<__int64>(count)) == 0;
}

// A console shows wide text as it is; a file or a pipe gets UTF-8.
void put_name(const wchar_t *name) {
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(console, &mode) != 0) {
        static_cast<void>(std::fflush(stdout));
        DWORD written = 0;
        WriteConsoleW(console, name, static_cast<DWORD>(wcslen(name)), &written, nullptr);
        return;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return;
    }
    const heap_ptr<char> utf8(static_cast<char *>(std::malloc(static_cast<std::size_t>(size))));
    if (utf8 && WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8.get(), size, nullptr, nullptr) > 0) {
        say(utf8.get());
    }
}

#else

using path_char = char;

std::FILE *open_image(const char *name) { return std::fopen(name, "rb"); }

// Created if absent, never truncated here: set_length cuts a longer file
// once the copy is in it.
std::FILE *open_output(const char *name) {
    const int fd = open(name, O_WRONLY | O_CREAT, 0666);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE *output = fdopen(fd, "wb");
    if (output == nullptr) {
        static_cast<void>(close(fd));
    }
    return output;
}

bool set_length(std::FILE *output, std::size_t count) {
    const int fd = fileno(output);
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return false;
    }
    if (!S_ISREG(status.st_mode) || static_cast<std::uintmax_t>(status.st_size) <= count) {
        return true;
    }
    return ftruncate(fd, static_cast<off_t>(count)) == 0;
}

void put_name(const char *name) { say(name); }

#endif

void report(const char *message, const path_char *name) {
    say(message);
    put_name(name);
    say("\n");
}

int run(int argc, path_char *argv[]) {
    if (argc < 3) {
        say(usage);
        return EXIT_FAILURE;
    }
    const path_char *image_name = argv[1];
    const path_char *output_name = argv[2];

    std::FILE *image = open_image(image_name);
    if (image == nullptr) {
        report(open_error, image_name);
        return EXIT_FAILURE;
    }

    const heap_ptr<unsigned char> buffer(allocate_buffer(image));
    if (!buffer) {
        static_cast<void>(std::fclose(image));
        say(memory_error);
        return EXIT_FAILURE;
    }

    const std::size_t count = std::fread(buffer.get(), 1, copy_limit, image);
    const bool read_failed = std::ferror(image) != 0;
    static_cast<void>(std::fclose(image));
    // A short read is only end of file when the stream says so; copying what
    // came before an error would pass a truncated image off as complete.
    if (read_failed) {
        report(read_error, image_name);
        return EXIT_FAILURE;
    }

    std::FILE *output = open_output(output_name);
    if (output == nullptr) {
        report(open_error, output_name);
        return EXIT_FAILURE;
    }
    // Devices and pipes have no length to set; a longer file is cut only once
    // every byte of the copy is in it.
    const bool written = std::fwrite(buffer.get(), 1, count, output) == count &&
                         std::fflush(output) == 0 && set_length(output, count);
    const bool closed = std::fclose(output) == 0;
    // A partly written output is kept: in a cut in place it is the only copy.
    if (!written || !closed) {
        report(write_error, output_name);
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t *argv[]) { return run(argc, argv); }
#else
int main(int argc, char *argv[]) { return run(argc, argv); }
#endif
