// SPDX-License-Identifier: Apache-2.0
#include "log_sinks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include <spdlog/details/fmt_helper.h>
#include <spdlog/details/os.h>

#include "boot_count.h"
#include "log.h"

namespace utils {

namespace {

// Opening a log file is tried this often, this far apart, before giving up.
constexpr int k_open_tries = 5;
constexpr unsigned k_open_interval_ms = 10;

}  // namespace

rotating_file_sink::rotating_file_sink(std::string path, size_t max_size, size_t max_files)
    : path_(std::move(path)), max_size_(max_size), max_files_(max_files) {
    if (max_size_ == 0) {
        spdlog::throw_spdlog_ex("rotating_file_sink: max_size cannot be zero");
    }
    open_(false);
    current_size_ = opened_size_;
}

rotating_file_sink::~rotating_file_sink() {
    close_();
}

std::string rotating_file_sink::rotated_name(const std::string &path, size_t index) {
    return index == 0 ? path : path + "." + std::to_string(index);
}

// "ab" (or "wb" then "ab" when truncating) of the logging library, with
// O_NOFOLLOW: a symbolic link in place of the file is refused at once.
void rotating_file_sink::open_(bool truncate) {
    open_ok_ = false;
    close_();
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    int err = 0;
    for (int tries = 0; tries < k_open_tries; ++tries) {
        spdlog::details::os::create_dir(spdlog::details::os::dir_name(path_));
        const int fd = open(path_.c_str(), flags, 0666);
        if (fd >= 0) {
            file_ = fdopen(fd, "ab");
            if (file_ != nullptr) {
                break;
            }
            err = errno;
            close(fd);
        } else {
            err = errno;
            if (err == ELOOP) {
                spdlog::throw_spdlog_ex("Failed opening file " + path_ + " for writing: it is a symbolic link");
            }
        }
        spdlog::details::os::sleep_for_millis(k_open_interval_ms);
    }
    if (file_ == nullptr) {
        spdlog::throw_spdlog_ex("Failed opening file " + path_ + " for writing", err);
    }
    struct stat st {};
    opened_size_ = fstat(fileno(file_), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    boot_banner_write(file_);
    open_ok_ = true;
}

void rotating_file_sink::close_() {
    if (file_ != nullptr) {
        fclose(file_);
        file_ = nullptr;
    }
}

void rotating_file_sink::sink_it_(const spdlog::details::log_msg &msg) {
    // A failed reopen after a rotation leaves no file; try again rather than
    // write through a closed stream.
    if (!open_ok_) {
        open_(false);
        current_size_ = opened_size_;
    }

    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    size_t new_size = current_size_ + formatted.size();
    // A file that holds no line yet is not rotated: a line longer than the
    // limit would otherwise leave behind files holding only a banner.
    if (new_size > max_size_ && current_size_ > 0) {
        rotate_();
        new_size = formatted.size();
    }
    if (fwrite(formatted.data(), 1, formatted.size(), file_) != formatted.size()) {
        spdlog::throw_spdlog_ex("Failed writing to file " + path_, errno);
    }
    current_size_ = new_size;
}

void rotating_file_sink::flush_() {
    if (open_ok_ && fflush(file_) != 0) {
        spdlog::throw_spdlog_ex("Failed flush to file " + path_, errno);
    }
}

// path.(n-1) -> path.n, ..., path -> path.1, then a fresh path.
void rotating_file_sink::rotate_() {
    using spdlog::details::os::path_exists;

    close_();
    open_ok_ = false;
    for (size_t i = max_files_; i > 0; --i) {
        std::string target = rotated_name(path_, i);
        std::string src = rotated_name(path_, i - 1);
        if (path_exists(target) && spdlog::details::os::remove(target) != 0) {
            int err = errno;
            open_(true);
            current_size_ = 0;
            spdlog::throw_spdlog_ex("rotating_file_sink: failed removing " + target, err);
        }
        if (!path_exists(src)) {
            continue;
        }
        if (spdlog::details::os::rename(src, target) != 0) {
            // A rename can fail briefly while another process holds the file.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (spdlog::details::os::rename(src, target) != 0) {
                int err = errno;
                // Start over anyway so the file cannot grow past its limit.
                open_(true);
                current_size_ = 0;
                spdlog::throw_spdlog_ex("rotating_file_sink: failed renaming " + src + " to " + target, err);
            }
        }
    }
    open_(true);
}

void boot_flag_formatter::format(const spdlog::details::log_msg &, const std::tm &, spdlog::memory_buf_t &dest) {
    spdlog::details::fmt_helper::append_int(boot_, dest);
}

std::unique_ptr<spdlog::custom_flag_formatter> boot_flag_formatter::clone() const {
    return std::make_unique<boot_flag_formatter>(boot_);
}

std::unique_ptr<spdlog::formatter> log_formatter_new() {
    auto formatter = std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::local, "\n");
    formatter->add_flag<boot_flag_formatter>('Q', static_cast<uint32_t>(boot_count_get()));
    formatter->set_pattern(LOG_PATTERN);
    return formatter;
}

}  // namespace utils
