#include "cli_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <yyjson.h>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

ClosedPort::ClosedPort() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
    port_ = ntohs(a.sin_port);
  }
}

ClosedPort::~ClosedPort() {
  if (fd_ >= 0) close(fd_);
}

InProcessServer::InProcessServer() {
  ServerConfig config;
  config.bind = "127.0.0.1";
  config.port = 0;
  config.quiet = true;
  server_ = server_start(config, &error_);
}

InProcessServer::~InProcessServer() {
  if (server_ != nullptr) server_stop(server_);
}

std::string fresh_test_folder(const std::string &prefix) {
  const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) /
                                    (prefix + "-" + info->test_suite_name() + "." + info->name());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

std::string file_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

ResultDoc parse_result(const std::string &line) {
  ResultDoc r;
  yyjson_doc *doc = yyjson_read(line.data(), line.size(), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (yyjson_is_obj(root)) {
    auto num = [root](const char *key) {
      yyjson_val *v = yyjson_obj_get(root, key);
      return yyjson_is_num(v) ? yyjson_get_num(v) : -1.0;
    };
    auto str = [root](const char *key) {
      const char *s = yyjson_get_str(yyjson_obj_get(root, key));
      return std::string(s != nullptr ? s : "");
    };
    r.parsed = true;
    r.server = str("server");
    r.phase = str("phase");
    r.ping_ms = num("ping_ms");
    r.jitter_ms = num("jitter_ms");
    r.download_mbps = num("download_mbps");
    r.upload_mbps = num("upload_mbps");
    yyjson_val *d = yyjson_obj_get(root, "duration_ms");
    r.duration_ms = yyjson_is_int(d) ? static_cast<long long>(yyjson_get_num(d)) : -1;
    yyjson_val *version = yyjson_obj_get(root, "version");
    r.version = yyjson_is_int(version) ? static_cast<long long>(yyjson_get_num(version)) : -1;
    r.timestamp = str("timestamp");
    yyjson_val *loaded = yyjson_obj_get(root, "loaded_latency");
    auto summary = [](yyjson_val *p, LoadedDoc *out) {
      if (!yyjson_is_obj(p)) return;
      auto field = [p](const char *key) {
        yyjson_val *v = yyjson_obj_get(p, key);
        return yyjson_is_num(v) ? yyjson_get_num(v) : -1.0;
      };
      out->median_ms = field("median_ms");
      out->p90_ms = field("p90_ms");
      out->jitter_ms = field("jitter_ms");
      yyjson_val *samples = yyjson_obj_get(p, "samples");
      yyjson_val *lost = yyjson_obj_get(p, "lost");
      out->samples = yyjson_is_int(samples) ? static_cast<long long>(yyjson_get_num(samples)) : -1;
      out->lost = yyjson_is_int(lost) ? static_cast<long long>(yyjson_get_num(lost)) : -1;
      out->connect_ms = field("connect_ms");
      out->reply_ms = field("reply_ms");
      yyjson_val *increase = yyjson_obj_get(p, "increase_ms");
      if (yyjson_is_num(increase)) out->increase_ms = yyjson_get_num(increase);
      const char *grade = yyjson_get_str(yyjson_obj_get(p, "grade"));
      out->grade = grade != nullptr ? grade : "";
    };
    auto responsiveness = [root](const char *name, LoadedDoc *out) {
      yyjson_val *p = yyjson_obj_get(yyjson_obj_get(root, "responsiveness"), name);
      yyjson_val *rpm = yyjson_obj_get(p, "rpm");
      if (yyjson_is_num(rpm)) out->rpm = yyjson_get_num(rpm);
      const char *confidence = yyjson_get_str(yyjson_obj_get(p, "confidence"));
      const char *basis = yyjson_get_str(yyjson_obj_get(p, "basis"));
      out->confidence = confidence != nullptr ? confidence : "";
      out->basis = basis != nullptr ? basis : "";
    };
    summary(yyjson_obj_get(root, "idle_latency"), &r.idle);
    summary(yyjson_obj_get(loaded, "download"), &r.loaded_download);
    summary(yyjson_obj_get(loaded, "upload"), &r.loaded_upload);
    responsiveness("download", &r.loaded_download);
    responsiveness("upload", &r.loaded_upload);
    yyjson_val *ended = yyjson_obj_get(root, "ended_early");
    auto ran = [ended](const char *name) {
      yyjson_val *v = yyjson_obj_get(yyjson_obj_get(ended, name), "ran_ms");
      return yyjson_is_int(v) ? static_cast<long long>(yyjson_get_num(v)) : -1LL;
    };
    r.download_ran_ms = ran("download");
    r.upload_ran_ms = ran("upload");
  }
  yyjson_doc_free(doc);
  return r;
}

double rfc3339_seconds(const std::string &text) {
  static const std::regex form("^(\\d{4})-(\\d\\d)-(\\d\\d)T(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d{3})Z$");
  std::smatch m;
  if (!std::regex_match(text, m, form)) return -1;
  std::tm t{};
  t.tm_year = std::stoi(m[1].str()) - 1900;
  t.tm_mon = std::stoi(m[2].str()) - 1;
  t.tm_mday = std::stoi(m[3].str());
  t.tm_hour = std::stoi(m[4].str());
  t.tm_min = std::stoi(m[5].str());
  t.tm_sec = std::stoi(m[6].str());
  return static_cast<double>(timegm(&t)) + std::stoi(m[7].str()) / 1000.0;
}

std::string bundled_server(const std::string &stderr_text) {
  static const std::regex notice("No server given: measuring against the bundled server on ([0-9.]+:[0-9]+)");
  std::smatch m;
  return std::regex_search(stderr_text, m, notice) ? m[1].str() : std::string();
}
