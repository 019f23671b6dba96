#pragma once
// The two end-to-end operations behind embed and extract.

#include <string>

namespace vellicor {

bool encrypt_and_embed(const std::string& input_path, const std::string& carrier_path, const std::string& output_path);
bool extract_and_decrypt(const std::string& stego_path, const std::string& output_path);

}  // namespace vellicor
