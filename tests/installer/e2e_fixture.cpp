#include "tests/installer/e2e_fixture.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::write_file;

namespace e2e {

::testing::AssertionResult trees_equal(const tree_map& got, const tree_map& want) {
  std::string diff;
  for (const auto& [rel, bytes] : want) {
    const auto it = got.find(rel);
    if (it == got.end())
      diff += "  missing: " + rel + "\n";
    else if (it->second != bytes)
      diff += "  different (" + std::to_string(it->second.size()) + " bytes, want " + std::to_string(bytes.size()) +
              "): " + rel + "\n";
  }
  for (const auto& [rel, bytes] : got)
    if (!want.count(rel)) diff += "  unexpected: " + rel + "\n";
  if (diff.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the trees differ:\n" << diff;
}

bool run_result::printed(const std::string& text) const {
  for (const std::string& l : out)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

void InstallerTest::SetUp() {
  www = work / "www/";
  home = work / "home";
  dest = work / "dest/Skyvane/";
  fs::create_directories(www);
  fs::create_directories(home);
  fs::create_directories(work / "tmp");
  for (const char* name : {"HOME", "XDG_CONFIG_HOME", "TMPDIR"}) {
    const char* v = std::getenv(name);
    saved_env.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
  }
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  setenv("TMPDIR", (work / "tmp").c_str(), 1);
  program = work / "skyvane-installer";
  fs::copy_file(SKYVANE_INSTALLER_EXE, program);
  fs::permissions(program, fs::perms::owner_all);
}

void InstallerTest::TearDown() {
  servers.clear();
  for (const auto& [name, value] : saved_env) {
    if (value)
      setenv(name.c_str(), value->c_str(), 1);
    else
      unsetenv(name.c_str());
  }
  saved_env.clear();
}

void InstallerTest::publish(const tree_map& tree, const std::string& version, const std::string& previous_version,
                            const std::string& top) {
  const std::string root = work / ("trees/" + version + "/");
  fs::remove_all(root);
  for (const auto& [rel, bytes] : tree) write_file(root + top + "/" + rel, bytes);
  write_file(work / "rules.txt", "os=3 *.linux\nos=2 *.win\nos=1 *.mac\n");
  std::vector<std::string> argv = {SKYVANE_PUBLISH_EXE, "release", "--tree", root + top, "--version", version,
                                   "--out", www, "--prefix", "/pub/", "--rules", work / "rules.txt"};
  if (!sign_key.empty()) {
    argv.push_back("--sign");
    argv.push_back(sign_key);
  }
  if (!previous_version.empty()) {
    argv.push_back("--previous");
    argv.push_back(directory_of(previous_version));
  }
  testservers::ChildProcess p;
  ASSERT_TRUE(p.start(argv, true));
  std::string line;
  while (p.read_line(line, 60000)) {
  }
  ASSERT_EQ(p.wait_exit(), 0) << "publishing " << version << " failed";
}

std::string InstallerTest::directory_of(const std::string& version) const {
  return www + "pub/" + version + "/directory.txt.zip";
}

void InstallerTest::add_to_release(const std::string& version, const tree_map& files, int os,
                                   const std::string& top) {
  const std::string script = work / "add-to-release.py";
  write_file(script,
             "import sys, os, zipfile, hashlib\n"
             "rel_dir, top, os_type = sys.argv[1], sys.argv[2], sys.argv[3]\n"
             "d = os.path.join(rel_dir, 'directory.txt.zip')\n"
             "with zipfile.ZipFile(d) as z:\n"
             "    text = z.read('directory.txt').decode('latin-1')\n"
             "if not text.endswith('\\n'):\n"
             "    text += '\\n'\n"
             "args = sys.argv[4:]\n"
             "for i in range(0, len(args), 2):\n"
             "    rel, src = args[i], args[i + 1]\n"
             "    data = open(src, 'rb').read()\n"
             "    folder, _, name = rel.rpartition('/')\n"
             "    arch = os.path.join(rel_dir, top, rel + '.zip')\n"
             "    os.makedirs(os.path.dirname(arch), exist_ok=True)\n"
             "    with zipfile.ZipFile(arch, 'w', zipfile.ZIP_DEFLATED) as a:\n"
             "        a.writestr(name, data)\n"
             "    k = lambda n: (n + 999) // 1000\n"
             "    text += 'DIR %s/%s\\nFILE 0 %s 1 %d %d %s %s\\n' % (top, folder + '/' if folder else '', os_type,\n"
             "        k(os.path.getsize(arch)), k(len(data)), hashlib.md5(data).hexdigest(), name)\n"
             "with zipfile.ZipFile(d, 'w', zipfile.ZIP_DEFLATED) as z:\n"
             "    z.writestr('directory.txt', text.encode('latin-1'))\n");
  std::vector<std::string> argv = {"python3", script, www + "pub/" + version, top, std::to_string(os)};
  int n = 0;
  for (const auto& [rel, bytes] : files) {
    const std::string src = work / ("add-src/" + std::to_string(n++));
    write_file(src, bytes);
    argv.push_back(rel);
    argv.push_back(src);
  }
  testservers::ChildProcess p;
  ASSERT_TRUE(p.start(argv, true));
  std::string line, out;
  while (p.read_line(line, 60000)) out += line + "\n";
  ASSERT_EQ(p.wait_exit(), 0) << "adding files to " << version << " failed:\n" << out;
}

void InstallerTest::server_list(const std::string& version, const std::vector<std::string>& hosts) {
  std::string text = "I\n820 Version\nSERVERS\nBETA " + version + "\nFINAL " + version + "\n";
  for (size_t i = 0; i < hosts.size(); ++i)
    text += "SERVER " + hosts[i] + "\n/pub/\nServer " + std::to_string(i) + "\n";
  text += "ENDOFLIST\n";
  write_file(www + "serverlist.txt", text);
}

testservers::NginxServer& InstallerTest::serve(const std::string& address, const std::string& root,
                                               const std::string& extra) {
  servers.push_back(std::make_unique<testservers::NginxServer>(root.empty() ? www : root, address, extra));
  testservers::NginxServer& s = *servers.back();
  EXPECT_TRUE(s.ok()) << s.failure();
  if (list_host.empty()) list_host = s.host();
  return s;
}

std::unique_ptr<testservers::ChildProcess> InstallerTest::start(std::vector<std::string> args) {
  bool has_host = false;
  for (const std::string& a : args) has_host |= a.rfind("--server_list_host=", 0) == 0;
  if (!has_host) args.push_back("--server_list_host=" + list_host);
  args.insert(args.begin(), program);
  auto p = std::make_unique<testservers::ChildProcess>();
  EXPECT_TRUE(p->start(args, true));
  return p;
}

run_result InstallerTest::run(std::vector<std::string> args, int timeout_s) {
  auto p = start(std::move(args));
  run_result r;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  std::string line;
  while (std::chrono::steady_clock::now() < until) {
    if (p->read_line(line, 200)) {
      r.out.push_back(line);
      continue;
    }
    if (!p->running()) break;
  }
  while (p->read_line(line, 50)) r.out.push_back(line);
  if (p->running()) {
    ADD_FAILURE() << "the installer did not end within " << timeout_s << " s";
    p->stop();
    return r;
  }
  r.status = p->wait_exit();
  return r;
}

std::string InstallerTest::archive_of(const std::string& name) const {
  for (const auto& e : fs::recursive_directory_iterator(www + "pub"))
    if (e.path().filename() == name + ".zip") return e.path().string();
  return "";
}

std::int64_t InstallerTest::part_size(const std::string& name) const {
  std::int64_t kept = 0;
  for (const char* suffix : {".download", ".download-data"}) {
    std::error_code ec;
    const auto n = fs::file_size(dest + "Resources/scenery/." + name + suffix, ec);
    if (!ec) kept += static_cast<std::int64_t>(n);
  }
  return kept;
}

std::vector<std::string> InstallerTest::kept_files() const {
  std::vector<std::string> left;
  if (fs::exists(dest))
    for (const auto& e : fs::recursive_directory_iterator(dest))
      if (e.path().filename().string().find(".download") != std::string::npos) left.push_back(e.path().string());
  return left;
}

tree_map InstallerTest::read_tree(const std::string& folder) {
  tree_map t;
  if (!fs::exists(folder)) return t;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (!e.is_regular_file()) continue;
    t[fs::relative(e.path(), folder).string()] = read_file(e.path().string());
  }
  return t;
}

tree_map InstallerTest::linux_part(const tree_map& tree) {
  tree_map t;
  auto ends = [](const std::string& s, const std::string& x) {
    return s.size() >= x.size() && s.compare(s.size() - x.size(), x.size(), x) == 0;
  };
  for (const auto& [rel, bytes] : tree)
    if (!ends(rel, ".win") && !ends(rel, ".mac")) t[rel] = bytes;
  return t;
}

int requests_for(const testservers::NginxServer& s, const std::string& suffix) {
  const std::string log = s.access_log();
  const std::string key = suffix + ".zip HTTP";
  int n = 0;
  for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) ++n;
  return n;
}

int archive_requests(const testservers::NginxServer& s) {
  return requests_for(s, "") - requests_for(s, "directory.txt");
}

std::string windows_path(const std::string& linux_path) {
  std::string p = "Z:" + linux_path;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

std::string InstallerTest::log() const { return read_file(work / "Log.txt"); }

}  // namespace e2e
