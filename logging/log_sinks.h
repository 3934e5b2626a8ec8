// SPDX-License-Identifier: Apache-2.0
// The logger's own additions to spdlog: a size-rotated file sink whose
// rotated files are named "<path>.1", "<path>.2", ... and whose files each
// begin with a boot banner, and the %Q pattern flag printing the boot number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>

namespace utils {

// The file is opened for appending; every opening, the first and the one
// after each rotation, writes the boot banner first. Only formatted lines are
// counted toward max_size (the existing bytes of an appended file included,
// the banners not). A log file that is a symbolic link is never opened: the
// tool runs as root and must not append to whatever the link points at.
// Throws spdlog::spdlog_ex when the file cannot be opened.
class rotating_file_sink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    rotating_file_sink(std::string path, size_t max_size, size_t max_files);
    ~rotating_file_sink() override;
    rotating_file_sink(const rotating_file_sink &) = delete;
    rotating_file_sink &operator=(const rotating_file_sink &) = delete;

    // "<path>" for 0, "<path>.<index>" otherwise.
    static std::string rotated_name(const std::string &path, size_t index);

  protected:
    void sink_it_(const spdlog::details::log_msg &msg) override;
    void flush_() override;

  private:
    void open_(bool truncate);
    void close_();
    void rotate_();

    std::string path_;
    size_t max_size_;
    size_t max_files_;
    size_t current_size_ = 0;
    size_t opened_size_ = 0;  // bytes the file held when it was opened
    bool open_ok_ = false;
    FILE *file_ = nullptr;
};

// %Q: the boot number the logger was constructed with.
class boot_flag_formatter final : public spdlog::custom_flag_formatter {
  public:
    explicit boot_flag_formatter(uint32_t boot) : boot_(boot) {}
    void format(const spdlog::details::log_msg &msg, const std::tm &tm_time, spdlog::memory_buf_t &dest) override;
    std::unique_ptr<spdlog::custom_flag_formatter> clone() const override;

  private:
    uint32_t boot_;
};

// The line formatter of a logger built now: LOG_PATTERN, local time, "\n",
// with %Q bound to the boot number read at this moment.
std::unique_ptr<spdlog::formatter> log_formatter_new();

}  // namespace utils
