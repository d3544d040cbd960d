// plovik: copy the first 5 MiB of an image file into an output file.
//
// The image is read whole before the output is opened, so both operands may
// name the same file: it is then cut in place to its first 5 MiB.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr std::size_t copy_limit = 0x500000;

constexpr const char *usage = "Usage : PLOVIK <Image File> <Output File>\n";
constexpr const char *memory_error = "ERROR: Memory allocation failed\n";
constexpr const char *open_error = "ERROR: Unable to open file ";
constexpr const char *read_error = "ERROR: Unable to read file ";
constexpr const char *write_error = "ERROR: Unable to write file ";

// Every message ends a run with status 1, which a failed write to standard
// output could not make any worse.
void say(const char *text) { static_cast<void>(std::fputs(text, stdout)); }

#ifdef _WIN32

// Wide names throughout, so that a name outside the ANSI code page reaches
// the file system and the reader as it was typed.
using path_char = wchar_t;

std::FILE *open_image(const wchar_t *name) { return _wfopen(name, L"rb"); }

std::FILE *open_output(const wchar_t *name) { return _wfopen(name, L"wb"); }

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
    const std::unique_ptr<char[]> utf8(new (std::nothrow) char[static_cast<std::size_t>(size)]);
    if (utf8 && WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8.get(), size, nullptr, nullptr) > 0) {
        say(utf8.get());
    }
}

#else

using path_char = char;

std::FILE *open_image(const char *name) { return std::fopen(name, "rb"); }

std::FILE *open_output(const char *name) { return std::fopen(name, "wb"); }

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

    const std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[copy_limit]);
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
    const bool written = std::fwrite(buffer.get(), 1, count, output) == count;
    const bool closed = std::fclose(output) == 0;
    // The output stays as it is: in a cut in place it is the only copy left.
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
