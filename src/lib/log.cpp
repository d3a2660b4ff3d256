// The log: the named logger, its line format (control characters escaped), its sinks (console,
// the log file, each entry's first error) and their set-up.
#include "lib/commonlib.h"

#include "core/entry_outcomes.h"
#include "lib/log_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <mutex>
#include <utility>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace quenfold_testlibs::lib {

namespace {
constexpr const char* kPattern = "%Y-%m-%d %H:%M:%S,%e - %l - %*";  // %*: the escaped message

// Set while logLines logs: the message keeps its line breaks. The logger formats in the calling
// thread, so a thread-local flag reaches exactly that message.
thread_local bool t_keep_line_breaks = false;

// Length of the well-formed UTF-8 sequence at text[i] (setting its code point), or 0.
std::size_t utf8Sequence(std::string_view text, std::size_t i, char32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const unsigned char t = byte(i + k);
    if (t < (k == 1 ? lo : 0x80) || t > (k == 1 ? hi : 0xBF)) return 0;
    cp = (cp << 6) | (t & 0x3F);
  }
  return n;
}

template <class Out>
void appendText(Out& out, const char* text) {
  out.append(text, text + std::strlen(text));
}

template <class Out>
void appendHex(Out& out, const char* prefix, unsigned value, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  appendText(out, prefix);
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out.push_back(kHex[(value >> shift) & 0xF]);
}

// Copies `text` to `out` with its control characters escaped (or, keeping line breaks, dropped).
// Control characters: C0, DEL, C1, and U+2028 and U+2029, which some viewers take for line ends.
template <class Out>
void escapeInto(Out& out, std::string_view text, bool keep_line_breaks) {
  std::size_t plain = 0;  // start of the bytes not yet copied, which need no escape
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      ++i;
      continue;
    }
    std::size_t n = 1;
    char32_t cp = c;
    if (c >= 0x80) {
      n = utf8Sequence(text, i, cp);
      if (n > 0 && cp > 0x9F && cp != 0x2028 && cp != 0x2029) {
        i += n;
        continue;
      }
    }
    out.append(text.data() + plain, text.data() + i);
    if (n == 0) {
      appendHex(out, "\\x", c, 2);  // not UTF-8
      n = 1;
    } else if (keep_line_breaks && c == '\n') {
      out.push_back('\n');
    } else if (keep_line_breaks && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      // the carriage return of a CRLF line break: the break is kept as one
    } else if (c == '\n') {
      appendText(out, "\\n");
    } else if (c == '\r') {
      appendText(out, "\\r");
    } else if (c == '\t') {
      appendText(out, "\\t");
    } else if (cp >= 0x80) {
      appendHex(out, "\\u", static_cast<unsigned>(cp), 4);
    } else {
      appendHex(out, "\\x", c, 2);
    }
    i += n;
    plain = i;
  }
  out.append(text.data() + plain, text.data() + text.size());
}

// The message part of every line (%*), escaped: every sink formats with it, so no value can
// start a line of its own on the console, in the log file or in its copy in S3.
constexpr std::string_view kBlobMarker = "Encoded authorization failure message: ";

class EscapedMessage final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override {
    const std::string_view text(msg.payload.data(), msg.payload.size());
    if (text.find(kBlobMarker) == std::string_view::npos) {
      escapeInto(dest, text, t_keep_line_breaks);
    } else {
      escapeInto(dest, withoutEncodedBlob(text), t_keep_line_breaks);
    }
  }
  std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<EscapedMessage>(); }
};

std::unique_ptr<spdlog::formatter> makeFormatter() {
  auto f = std::make_unique<spdlog::pattern_formatter>();
  f->add_flag<EscapedMessage>('*').set_pattern(kPattern);
  return f;
}

// Writes the formatted lines to a descriptor initLogLocation opened. spdlog's file sinks open
// their file by path themselves (fopen, which follows links and creates with the umask's mode)
// and cannot be handed a descriptor opened safely, hence this small sink.
class DescriptorFileSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit DescriptorFileSink(int fd) : fd_(fd) {}
  ~DescriptorFileSink() override { ::close(fd_); }
  int fd() const { return fd_; }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
      const ssize_t n = ::write(fd_, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw spdlog::spdlog_ex("cannot write the log file", errno);
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  }
  void flush_() override {}  // write() leaves nothing buffered here

 private:
  int fd_;
};

std::mutex g_mu;
std::shared_ptr<spdlog::logger> g_logger;
std::shared_ptr<DescriptorFileSink> g_file;  // the log file, once opened
std::string g_file_path;

// Hands every error line to the entry the logging thread works for, so that the run's summary
// can name each failed entry's first error.
class EntryErrorSink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    core::EntryOutcomes::noteError(std::string(msg.payload.data(), msg.payload.size()));
  }
  void flush_() override {}
};

std::shared_ptr<spdlog::logger> make_logger(std::shared_ptr<spdlog::sinks::sink> console) {
  if (!console) console = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  console->set_formatter(makeFormatter());
  auto entries = std::make_shared<EntryErrorSink>();
  entries->set_level(spdlog::level::err);
  auto l = std::make_shared<spdlog::logger>(kLoggerName, spdlog::sinks_init_list{console, entries});
  l->set_level(spdlog::level::info);
  l->flush_on(spdlog::level::info);
  return l;
}

}  // namespace

std::shared_ptr<spdlog::logger> logger() {
  std::lock_guard lk(g_mu);
  if (!g_logger) g_logger = make_logger(nullptr);
  return g_logger;
}

std::string encodedBlobOf(std::string_view message) {
  const auto at = message.find(kBlobMarker);
  if (at == std::string_view::npos) return "";
  const std::string_view rest = message.substr(at + kBlobMarker.size());
  std::size_t end = 0;
  while (end < rest.size() && !std::isspace(static_cast<unsigned char>(rest[end]))) ++end;
  return std::string(rest.substr(0, end));
}

std::string withoutEncodedBlob(std::string_view message) {
  std::string out;
  for (;;) {
    const auto at = message.find(kBlobMarker);
    if (at == std::string_view::npos) break;
    const std::string blob = encodedBlobOf(message.substr(at));
    out.append(message.substr(0, at + kBlobMarker.size()));
    out.append(blob.substr(0, 12)).append("... (").append(std::to_string(blob.size())).append(" characters)");
    message.remove_prefix(at + kBlobMarker.size() + blob.size());
  }
  out.append(message);
  return out;
}

std::string escapeControlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  escapeInto(out, text, false);
  return out;
}

void logLines(spdlog::level::level_enum level, const std::string& text) {
  struct KeepLineBreaks {
    KeepLineBreaks() { t_keep_line_breaks = true; }
    ~KeepLineBreaks() { t_keep_line_breaks = false; }
  } keep;
  logger()->log(level, text);
}

std::string Common::logFilePath(const std::string& backup_folder) {
  return backup_folder + "/" + kLogFolder + "/" + kLogFileName;
}

void Common::initLogLocation(const std::string& backup_folder) {
  const std::string path = logFilePath(backup_folder);
  auto l = logger();
  std::shared_ptr<DescriptorFileSink> file;
  try {
    file = std::make_shared<DescriptorFileSink>(openLogLocation(backup_folder, path));
  } catch (const SoftFailure& e) {
    // Without a log file the run still logs to the console; say so once.
    l->error("  **Error** cannot write the log file " + path + ": " + e.what);
    return;
  }
  file->set_formatter(makeFormatter());
  std::lock_guard lk(g_mu);
  auto& sinks = l->sinks();
  if (sinks.size() > 2) sinks.resize(2);  // console and entry errors; a second call replaces the earlier file
  sinks.push_back(file);
  g_file = std::move(file);
  g_file_path = path;
}

std::optional<OpenedLogFile> Common::openedLogFile() {
  std::optional<OpenedLogFile> opened;
  bool replaced = false;
  {
    std::lock_guard lk(g_mu);
    if (!g_file) return std::nullopt;
    // /proc/self/fd/N opens the file behind the descriptor, not whatever the path names now.
    const std::string proc = "/proc/self/fd/" + std::to_string(g_file->fd());
    struct stat ours {
    }, via_proc{}, at_path{};
    if (::fstat(g_file->fd(), &ours) != 0 || ::stat(proc.c_str(), &via_proc) != 0 || via_proc.st_dev != ours.st_dev ||
        via_proc.st_ino != ours.st_ino)
      return std::nullopt;
    replaced =
        ::lstat(g_file_path.c_str(), &at_path) != 0 || at_path.st_dev != ours.st_dev || at_path.st_ino != ours.st_ino;
    opened = OpenedLogFile{g_file_path, proc};
  }
  if (replaced)
    logger()->warn("  the log file " + opened->path + " was replaced during the run; the file this run wrote is used");
  return opened;
}

void Common::logCommandOptions(const std::string& command_line) { logger()->info(command_line); }

void Common::resetForTests(std::shared_ptr<spdlog::sinks::sink> sink) {
  std::lock_guard lk(g_mu);
  g_logger = make_logger(std::move(sink));
  g_file.reset();
  g_file_path.clear();
}

}  // namespace quenfold_testlibs::lib
