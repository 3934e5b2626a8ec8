#include "log_sinks.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include <spdlog/details/fmt_helper.h>
#include <spdlog/details/os.h>

#include "boot_count.h"
#include "log.h"

namespace utils {

namespace {

spdlog::file_event_handlers banner_handlers(size_t *opened_size)
{
    spdlog::file_event_handlers handlers;
    handlers.after_open = [opened_size](const spdlog::filename_t &, FILE *file) {
        struct stat st {};
        *opened_size = fstat(fileno(file), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
        boot_banner_write(file);
    };
    return handlers;
}

}  // namespace

rotating_file_sink::rotating_file_sink(std::string path, size_t max_size, size_t max_files)
    : path_(std::move(path)), max_size_(max_size), max_files_(max_files), file_(banner_handlers(&opened_size_))
{
    if (max_size_ == 0) {
        spdlog::throw_spdlog_ex("rotating_file_sink: max_size cannot be zero");
    }
    open_(false);
    current_size_ = opened_size_;
}

std::string rotating_file_sink::rotated_name(const std::string &path, size_t index)
{
    return index == 0 ? path : path + "." + std::to_string(index);
}

void rotating_file_sink::open_(bool truncate)
{
    open_ok_ = false;
    file_.open(path_, truncate);
    open_ok_ = true;
}

void rotating_file_sink::sink_it_(const spdlog::details::log_msg &msg)
{
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
    file_.write(formatted);
    current_size_ = new_size;
}

void rotating_file_sink::flush_()
{
    if (open_ok_) {
        file_.flush();
    }
}

// path.(n-1) -> path.n, ..., path -> path.1, then a fresh path.
void rotating_file_sink::rotate_()
{
    using spdlog::details::os::path_exists;

    file_.close();
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

void boot_flag_formatter::format(const spdlog::details::log_msg &, const std::tm &, spdlog::memory_buf_t &dest)
{
    spdlog::details::fmt_helper::append_int(boot_, dest);
}

std::unique_ptr<spdlog::custom_flag_formatter> boot_flag_formatter::clone() const
{
    return std::make_unique<boot_flag_formatter>(boot_);
}

std::unique_ptr<spdlog::formatter> log_formatter_new()
{
    auto formatter = std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::local, "\n");
    formatter->add_flag<boot_flag_formatter>('Q', static_cast<uint32_t>(boot_count_get()));
    formatter->set_pattern(LOG_PATTERN);
    return formatter;
}

}  // namespace utils
