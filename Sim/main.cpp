// orvane-sim [--nv FILE] [--boot init|resume] [--trace] [SCRIPT]
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "Sim/runner.h"

namespace {

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: orvane-sim [--nv FILE] [--boot init|resume] [--trace] [SCRIPT]\n"
               "Boots the back-end on the host and plays the System Manager's side.\n"
               "Commands, one per line ('#' starts a comment, numbers decimal or 0x-hex):\n"
               "  send TYPE HEX...     frame one message and put it in the receive ring\n"
               "  raw HEX...           put raw bytes in the receive ring\n"
               "  field [N]            N VSYNC interrupts, each one field cycle\n"
               "  tick [N]             N passes of the 30 ms loop\n"
               "  hw NAME VALUE...     set a simulated hardware input\n"
               "  lock N on|off        the System Manager takes or releases software lock N\n"
               "  drain off|on         stop or resume reading the transmit ring\n"
               "  restart [init|resume] power cycle, keeping the non-volatile image\n"
               "Hardware inputs:\n%s"
               "Output: 'msg TYPE HEX', 'log TEXT' and, with --trace, 'drv NAME ARG...'.\n",
               sim::Runner::hwHelp().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string nvPath, script;
  sim::Runner::Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    } else if (a == "--nv" && i + 1 < argc) {
      nvPath = argv[++i];
    } else if (a == "--boot" && i + 1 < argc && (std::string(argv[i + 1]) == "init" || std::string(argv[i + 1]) == "resume")) {
      options.bootMode = argv[++i];
    } else if (a == "--trace") {
      options.trace = true;
    } else if (!a.empty() && a[0] != '-' && script.empty()) {
      script = a;
    } else {
      usage(stderr);
      return 2;
    }
  }
  if (!nvPath.empty()) {
    std::ifstream nv(nvPath, std::ios::binary);
    if (nv) options.nvImage.assign(std::istreambuf_iterator<char>(nv), std::istreambuf_iterator<char>());
  }
  std::ifstream file;
  if (!script.empty()) {
    file.open(script);
    if (!file) {
      std::fprintf(stderr, "orvane-sim: cannot open %s\n", script.c_str());
      return 2;
    }
  }
  std::istream& in = script.empty() ? std::cin : file;

  int status = 0;
  {
    sim::Runner runner(options, [](const std::string& line) {
      std::fputs(line.c_str(), stdout);
      std::fputc('\n', stdout);
    });
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      if (!runner.execute(line)) {
        std::fflush(stdout);
        std::fprintf(stderr, "orvane-sim: line %d: %s\n", number, runner.error().c_str());
        status = 1;
      }
    }
    if (!nvPath.empty()) {
      const auto image = runner.nvImage();
      std::ofstream out(nvPath, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
  }
  std::fflush(stdout);
  return status;
}
