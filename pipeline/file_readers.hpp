// Readers of the weights file (mempacked hexadecimal text) and the
// scaling-parameter file (binary floats), and two string utilities for paths.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

std::shared_ptr<std::vector<char>> load_mempacked_data_flat(std::string path, uint64_t data_width);
std::shared_ptr<std::vector<cv::Mat>> load_mempacked_data(std::string path, uint64_t rows, uint64_t cols,
                                                          uint64_t planes, uint64_t data_width);
std::pair<std::vector<float>, std::vector<float>> load_scaling_parameters(std::string path, uint32_t n);
char hex2char(char c);
std::string caffix_string(std::string text, std::string suffix);
void find_and_replace(std::string& text, const std::string& from, const std::string& to);
