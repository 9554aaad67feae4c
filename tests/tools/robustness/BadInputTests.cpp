// Both batch tools on inputs from the field that are not what they should be: missing, folders,
// empty, cut short, mislabelled, nonsense. Each gives one clear line and an exit status that
// says what happened; none crashes or hangs.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status;
    std::string output;
};

Outcome RunProgram(const std::string& program, const std::string& arguments) {
    std::string command;
    command.append("'").append(program).append("' ").append(arguments).append(" 2>&1");
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    std::array<char, 4096> buffer{};
    while (size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
        output.append(buffer.data(), n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

void Le32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s.push_back(static_cast<char>(v >> (8 * i)));
}
void Le16(std::string& s, uint16_t v) {
    s.push_back(static_cast<char>(v));
    s.push_back(static_cast<char>(v >> 8));
}

// A WAV header of two channels with the given rate and frame size, a data chunk claiming
// `claimed` bytes and holding `held`.
std::string Wav(uint32_t rate, uint16_t align, uint32_t claimed, uint32_t held) {
    std::string fmt;
    Le16(fmt, 1);
    Le16(fmt, 2);
    Le32(fmt, rate);
    Le32(fmt, rate * align);
    Le16(fmt, align);
    Le16(fmt, static_cast<uint16_t>(align * 4));
    std::string body = "WAVEfmt ";
    Le32(body, static_cast<uint32_t>(fmt.size()));
    body += fmt + "data";
    Le32(body, claimed);
    body += std::string(held, '\x05');
    std::string riff = "RIFF";
    Le32(riff, static_cast<uint32_t>(body.size()));
    return riff + body;
}

class BadInput : public ::testing::Test {
  protected:
    void SetUp() override {
        fDir = fs::temp_directory_path() / ("lrpt_bad_input_" + std::to_string(getpid()));
        fs::remove_all(fDir);
        fs::create_directories(fDir / "a folder");
    }
    void TearDown() override { fs::remove_all(fDir); }
    // The file's path quoted for the shell.
    std::string Path(const std::string& name) const {
        std::string quoted;
        return quoted.append("'").append((fDir / name).string()).append("'");
    }
    fs::path fDir;
};

struct Case {
    std::string file;
    int status;
    std::string says;
};

void ExpectOneClearLine(const Outcome& o, const Case& c) {
    EXPECT_EQ(o.status, c.status) << o.output;
    EXPECT_NE(o.output.find(c.says), std::string::npos) << o.output;
    EXPECT_EQ(std::count(o.output.begin(), o.output.end(), '\n'), 1) << o.output;
}

} // namespace

TEST_F(BadInput, Demodulator) {
    Write(fDir / "empty.wav", "");
    Write(fDir / "text.wav", std::string(400, 'x'));
    Write(fDir / "header cut.wav", Wav(196078, 4, 4000, 4000).substr(0, 30));
    Write(fDir / "rate 0.wav", Wav(0, 4, 4000, 4000));
    Write(fDir / "align 0.wav", Wav(196078, 0, 4000, 4000));
    Write(fDir / "align 9.wav", Wav(196078, 9, 4000, 4000));
    Write(fDir / "cut short.wav", Wav(196078, 4, 1000000000, 40000));
    Write(fDir / "tiny.wav", Wav(196078, 4, 400, 400)); // far less than one block: fine
    for (const Case& c :
         {Case{"missing.wav", 1, "cannot open input file"}, Case{"a folder", 1, "is a folder"},
          Case{"empty.wav", 1, "is empty"}, Case{"text.wav", 1, "header code -2"},
          Case{"header cut.wav", 1, "header code -4"}, Case{"rate 0.wav", 1, "sample rate 0"},
          Case{"align 0.wav", 1, "block alignment 0"}, Case{"align 9.wav", 1, "block alignment 9"},
          Case{"cut short.wav", 3, "cut short"}}) {
        SCOPED_TRACE(c.file);
        const std::string out = (fDir / (c.file + ".raw")).string();
        std::string arguments = "-q ";
        arguments.append(Path(c.file)).append(" '").append(out).append("'");
        const Outcome o = RunProgram(HALDRIN_BATCH, arguments);
        ExpectOneClearLine(o, c);
        // A refused input leaves no output file behind; a cut-short one leaves the symbols it gave.
        EXPECT_EQ(fs::exists(out), c.status == 3) << out;
    }
    const Outcome tiny =
        RunProgram(HALDRIN_BATCH, "-q --receiver model " + Path("tiny.wav") + " " + Path("tiny.raw"));
    EXPECT_EQ(tiny.status, 0) << tiny.output;
    // 100 frames at 4 x 196,078 internal steps per second: about 37 symbols, all written.
    EXPECT_GT(fs::file_size(fDir / "tiny.raw"), 30u);
    EXPECT_LT(fs::file_size(fDir / "tiny.raw"), 45u);
}

TEST_F(BadInput, Decoder) {
    Write(fDir / "empty.s", "");
    Write(fDir / "short.s", std::string(5000, '\x40'));       // less than one block
    Write(fDir / "notes.s", std::string(300000, 'x'));        // text: all positive values
    Write(fDir / "pass.wav", Wav(196078, 4, 200000, 200000)); // the demodulator's input instead
    for (const Case& c :
         {Case{"missing.s", 1, "no such file"}, Case{"a folder", 1, "not a regular file"},
          Case{"empty.s", 1, "is empty"}, Case{"short.s", 3, "no transfer frame found"},
          Case{"notes.s", 3, "no transfer frame found"}, Case{"pass.wav", 3, "no transfer frame found"}}) {
        SCOPED_TRACE(c.file);
        ExpectOneClearLine(RunProgram(TARNWICK_BATCH, "-q " + Path(c.file)), c);
        // Refused inputs leave nothing; inputs read in vain leave the session's files, as the line says.
        EXPECT_EQ(fs::exists(fDir / (c.file + ".vcdu")), c.status == 3);
        EXPECT_FALSE(fs::exists(fDir / (c.file + ".64.png")));
    }
}
