// orvane-sim [--nv FILE [--nv-overwrite]] [--boot init|resume] [--trace] [SCRIPT]
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "Sim/runner.h"

namespace {

// Exit statuses: scripts and CI tell a malformed script from a run that could not start.
constexpr int EXIT_MALFORMED_LINE = 1;
constexpr int EXIT_BAD_ARGUMENTS = 2;

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: orvane-sim [--nv FILE [--nv-overwrite]] [--boot init|resume] [--trace] [SCRIPT]\n"
               "Boots the back-end on the host and plays the System Manager's side.\n"
               "  --nv FILE        load the non-volatile image from FILE at boot (when it exists) and\n"
               "                   write it back at exit; a FILE that is not empty and not a backup image\n"
               "                   of this back-end is refused and left untouched\n"
               "  --nv-overwrite   take such a FILE as blank instead: boot initialised, write it at exit\n"
               "  --boot init|resume  set or clear the initialise bit of the boot-mode word\n"
               "  --trace          print every driver setter call\n"
               "Commands, one per line ('#' starts a comment, numbers decimal or 0x-hex):\n"
               "  send TYPE HEX...     frame one message and put it in the receive ring\n"
               "  raw HEX...           put raw bytes in the receive ring\n"
               "  field [N]            N VSYNC interrupts, each one field cycle\n"
               "  tick [N]             N passes of the 30 ms loop\n"
               "  hw NAME VALUE...     set a simulated hardware input\n"
               "  lock N on|off        the System Manager takes or releases software lock N\n"
               "  drain off|on         stop or resume reading the transmit ring\n"
               "  restart [init|resume] power cycle, keeping the non-volatile image\n"
               "  cut N                the save of the next field stops after N bytes (power lost),\n"
               "                       then the back-end starts again as after 'restart resume'\n"
               "  smem OFFSET HEX...   write bytes into shared memory at OFFSET, without a lock\n"
               "  peek OFFSET LEN      print 'smem OFFSET HEX' with the LEN bytes at OFFSET\n"
               "Hardware inputs:\n%s"
               "Output: 'msg TYPE HEX', 'log TEXT', 'smem OFFSET HEX' and, with --trace, 'drv NAME ARG...'.\n"
               "Exit status: 0; 1 when a script line was malformed (each is reported on standard error\n"
               "with why, and skipped); 2 for bad arguments (an unknown option, a SCRIPT that cannot be\n"
               "read, an --nv FILE that is refused or cannot be read or written).\n",
               sim::Runner::hwHelp().c_str());
}

int badArguments(const std::string& why) {
  std::fprintf(stderr, "orvane-sim: %s\n", why.c_str());
  std::fprintf(stderr, "orvane-sim --help shows the usage\n");
  return EXIT_BAD_ARGUMENTS;
}

std::string systemError() { return std::strerror(errno); }

}  // namespace

int main(int argc, char** argv) {
  std::string nvPath, script;
  bool nvOverwrite = false;
  sim::Runner::Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    } else if (a == "--nv") {
      if (!hasValue) return badArguments("--nv needs a FILE");
      nvPath = argv[++i];
    } else if (a == "--nv-overwrite") {
      nvOverwrite = true;
    } else if (a == "--boot") {
      if (!hasValue || (std::string(argv[i + 1]) != "init" && std::string(argv[i + 1]) != "resume"))
        return badArguments("--boot takes init or resume");
      options.bootMode = argv[++i];
    } else if (a == "--trace") {
      options.trace = true;
    } else if (!a.empty() && a[0] == '-') {
      return badArguments("unknown option " + a);
    } else if (!script.empty()) {
      return badArguments("one SCRIPT only (" + script + " and " + a + ")");
    } else {
      script = a;
    }
  }
  if (nvOverwrite && nvPath.empty()) return badArguments("--nv-overwrite needs --nv FILE");

  std::error_code ec;
  std::ifstream file;
  if (!script.empty()) {
    // A directory opens as a stream that only fails on reading: the script would look empty.
    if (std::filesystem::is_directory(script, ec)) return badArguments(script + " is a directory");
    file.open(script);
    if (!file) return badArguments("cannot open " + script + ": " + systemError());
  }
  std::istream& in = script.empty() ? std::cin : file;

  std::string notResumedBecause = "no backup image";  // said on standard error after the boot
  if (!nvPath.empty()) {
    if (std::filesystem::is_directory(nvPath, ec)) return badArguments(nvPath + " is a directory");
    if (std::filesystem::exists(nvPath, ec)) {
      std::ifstream nv(nvPath, std::ios::binary);
      if (!nv) return badArguments("cannot open " + nvPath + ": " + systemError());
      options.nvImage.assign(std::istreambuf_iterator<char>(nv), std::istreambuf_iterator<char>());
      if (nv.bad()) return badArguments("cannot read " + nvPath);
      if (const std::string problem = sim::Runner::nvImageProblem(options.nvImage); !problem.empty()) {
        // Most likely a wrong path: another file must not be replaced by a backup image unasked.
        if (!nvOverwrite)
          return badArguments(nvPath + " is not a backup image of this back-end (" + problem +
                              "); left untouched, --nv-overwrite replaces it");
        std::fprintf(stderr, "orvane-sim: %s is not a backup image of this back-end (%s); overwritten at exit\n",
                     nvPath.c_str(), problem.c_str());
        options.nvImage.clear();
        notResumedBecause = "the file is overwritten";
      } else if (std::any_of(options.nvImage.begin(), options.nvImage.end(), [](auto b) { return b != 0; })) {
        notResumedBecause = "the boot mode asks for it";
      }
    }
  }

  int status = 0;
  {
    sim::Runner runner(options, [](const std::string& line) {
      std::fputs(line.c_str(), stdout);
      std::fputc('\n', stdout);
    });
    if (!nvPath.empty())
      std::fprintf(stderr, "orvane-sim: %s: %s\n", nvPath.c_str(),
                   runner.resumed() ? "backup image resumed"
                                    : ("initialised (" + notResumedBecause + ")").c_str());
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      if (!runner.execute(line)) {
        std::fflush(stdout);
        std::fprintf(stderr, "orvane-sim: line %d: %s: %s\n", number, line.c_str(), runner.error().c_str());
        status = EXIT_MALFORMED_LINE;
      }
    }
    if (in.bad()) {
      std::fflush(stdout);
      std::fprintf(stderr, "orvane-sim: reading %s failed\n", script.empty() ? "standard input" : script.c_str());
      status = EXIT_BAD_ARGUMENTS;
    }
    if (!nvPath.empty()) {
      const auto image = runner.nvImage();
      std::ofstream out(nvPath, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
      if (!out) {
        std::fflush(stdout);
        std::fprintf(stderr, "orvane-sim: cannot write %s\n", nvPath.c_str());
        status = EXIT_BAD_ARGUMENTS;
      }
    }
  }
  std::fflush(stdout);
  return status;
}
