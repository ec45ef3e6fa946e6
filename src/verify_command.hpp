// imgseal-verify's command line, read whole before anything is written: a
// mistake in it, --help and --version are told only once the output is known
// not to go into an image.
#pragma once

#include "seal_check.hpp"
#include "verdict_text.hpp"

namespace imgseal {

extern const char* const verify_usage_line;
extern const char* const verify_usage_text;

struct verify_command {
    bool quiet = false;        // no OK lines
    bool status_only = false;  // nothing on standard output
    seal_scope scope = seal_scope::whole_image;
    bool require_crc = false;  // an image without a CRC fails
    unsigned wait_seconds = 60;
    const char* records = nullptr;  // -c
    const char* find = nullptr;     // --find
    const char* same_as = nullptr;
    expected_seal expected{};  // from --expect
    int images = 1;            // argv[1] up to argv[images - 1] are the images
    enum class action : unsigned char { run, help, version, mistake } what = action::run;
    const char* argument = nullptr;  // the argument that holds the mistake, if any
    const char* mistake = nullptr;   // what is wrong; nullptr: the usage
};

// Reads the options, and gathers the images at the front of argv in their
// order. The first of --help, --version and a mistake decides the action.
verify_command read_verify_command(int argc, char** argv);

// The first path that the command line may name into which standard output
// or error writes: each argument, and the value of an option glued to it
// (--check=FILE, -cFILE, -qcFILE). Looking at more than the paths costs
// nothing: no other argument names a file. Called before the images are
// gathered.
const char* argument_written_into(int argc, char** argv);

}  // namespace imgseal
