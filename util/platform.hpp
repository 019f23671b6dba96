#pragma once
// The few things the program asks of the operating system beyond files.

#include <optional>
#include <string>
#include <vector>

#include "util/byte_buffer.hpp"

namespace vellicor {

// The folder that holds the program, from its first command-line entry made
// absolute against the current directory; nullopt (with a reason) if that fails.
std::optional<std::string> program_directory(const std::string& argv0, std::string* why = nullptr);

// The system's default locale name in the "pt-BR" form, taken from the LANG=
// line of the first locale file that exists; nullopt when none gives one.
// The files are a parameter so that tests can point at files of their own.
std::optional<std::string> user_default_locale_name(
    const std::vector<std::string>& locale_files = {"/etc/locale.conf", "/etc/default/locale"});

// Whole-file buffers of hundreds of megabytes cost more in page faults than in
// copying when backed by 4 KiB pages; asking for huge pages roughly halves the
// time to read such a file in (see bench/). Only advice: where the system has
// no such thing, nothing changes. Call once the buffer has its final size and
// before its bytes are first written; small buffers are left alone.
void advise_huge_pages(ByteBuffer& buffer) noexcept;

}  // namespace vellicor
