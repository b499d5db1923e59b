// Test support: temporary roots and runs of the real program.
#include "session.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "in_process_run.h"

namespace {

void collect(const std::string& base, const std::string& relative,
             std::map<std::string, std::string>& files) {
    const std::string path = relative.empty() ? base : base + "/" + relative;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string rel = relative.empty() ? name : relative + "/" + name;
        struct stat st;
        if (lstat((base + "/" + rel).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            collect(base, rel, files);
        else {
            std::ifstream in(base + "/" + rel, std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            files[rel] = bytes.str();
        }
    }
    closedir(dir);
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

}  // namespace

// Under /tmp whatever $TMPDIR says: unprivileged runs need a root the user nobody can reach.
TempRoot::TempRoot() : path_(support::make_private_dir("/tmp", "test")) {}

TempRoot::~TempRoot() { support::remove_tree(path_); }

void TempRoot::write(const std::string& relative, const std::string& bytes) const {
    const std::string path = file(relative);
    for (std::size_t cut = path_.size() + 1; (cut = path.find('/', cut)) != std::string::npos;
         ++cut)
        mkdir(path.substr(0, cut).c_str(), 0755);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string TempRoot::read(const std::string& relative) const { return slurp(file(relative)); }

bool TempRoot::exists(const std::string& relative) const {
    struct stat st;
    return lstat(file(relative).c_str(), &st) == 0;
}

std::map<std::string, std::string> TempRoot::snapshot() const {
    std::map<std::string, std::string> files;
    collect(path_, "", files);
    return files;
}

static void hand_over(const std::string& path, uid_t user) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (lchown(path.c_str(), user, user) != 0) return;
    if (!S_ISDIR(st.st_mode)) return;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") hand_over(path + "/" + name, user);
        }
        closedir(dir);
    }
}

bool TempRoot::has_temporary() const {
    for (const auto& entry : snapshot())
        if (entry.first.find(".part-") != std::string::npos) return true;
    return false;
}

namespace {

constexpr uid_t nobody = 65534;

// Root's supplementary groups go with its user, so that the run has nobody's rights only.
bool become_nobody() {
    return setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0;
}

// The program as nobody runs it. The build tree may lie where nobody cannot reach (a
// checkout in root's home, mode 700), so each test process makes a copy of its own in
// a folder under /tmp that everyone can enter, and removes it at exit.
struct NobodysProgram {
    std::string folder, path, problem;  // `problem` says why there is none

    NobodysProgram() {
        char pattern[] = "/tmp/dem_varnel_program_XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            problem = std::string("cannot make a folder under /tmp: ") + std::strerror(errno);
            return;
        }
        folder = pattern;
        path = folder + "/dem_varnel";
        std::ifstream in(DEM_VARNEL_EXE, std::ios::binary);
        std::ofstream out(path, std::ios::binary);
        out << in.rdbuf();
        out.close();
        if (!in || !out || chmod(folder.c_str(), 0755) != 0 || chmod(path.c_str(), 0755) != 0) {
            problem = "cannot copy " + std::string(DEM_VARNEL_EXE) + " to " + path;
            return;
        }
        const pid_t probe = fork();
        if (probe == 0) _exit(become_nobody() && access(path.c_str(), X_OK) == 0 ? 0 : 1);
        int wstatus = 0;
        if (probe < 0 || waitpid(probe, &wstatus, 0) != probe || !WIFEXITED(wstatus) ||
            WEXITSTATUS(wstatus) != 0)
            problem = "the user nobody cannot execute " + path;
    }
    ~NobodysProgram() {
        if (!path.empty()) unlink(path.c_str());
        if (!folder.empty()) rmdir(folder.c_str());
    }
};

const NobodysProgram& nobodys_program() {
    static const NobodysProgram program;
    return program;
}

}  // namespace

std::string unprivileged_unavailable() {
    if (geteuid() != 0) return "";  // the tests' own user is an ordinary one
    const std::string& problem = nobodys_program().problem;
    return problem.empty() ? "" : "no run as the user nobody: " + problem;
}

Running start_program(const TempRoot& root, const std::string& answers, const Options& options) {
    const bool drop = options.unprivileged && geteuid() == 0;
    if (drop) {
        const std::string why_not = unprivileged_unavailable();
        if (!why_not.empty()) throw std::runtime_error(why_not);
    }
    const std::string program = drop ? nobodys_program().path : DEM_VARNEL_EXE;
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : options.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (drop) hand_over(root.path(), nobody);
    // Numbered, so that several runs on one root at once keep their outputs apart.
    static int started = 0;
    const std::string capture = root.path() + "." + std::to_string(++started);
    Running run;
    run.out_path = capture + ".out";
    run.err_path = capture + ".err";
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
    run.pid = fork();
    if (run.pid == 0) {
        dup2(pipe_fds[0], 0);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        if (drop && !become_nobody()) _exit(126);
        const std::string& out_path =
            options.standard_output.empty() ? run.out_path : options.standard_output;
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(run.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        setenv("DEM_VARNEL_ROOT", root.path().c_str(), 1);
        for (const std::string& setting : options.environment) {
            const auto cut = setting.find('=');
            setenv(setting.substr(0, cut).c_str(), setting.substr(cut + 1).c_str(), 1);
        }
        if (chdir(root.path().c_str()) != 0) _exit(127);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipe_fds[0]);
    run.input = pipe_fds[1];
    signal(SIGPIPE, SIG_IGN);
    std::size_t done = 0;
    while (done < answers.size()) {
        const ssize_t n = ::write(run.input, answers.data() + done, answers.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return run;
}

bool wait_for_output(const Running& run, const std::string& text, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (slurp(run.out_path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

namespace {
// 0 until the child runs the program (before its exec it is a copy of this process).
long resident_peak_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key, name;
    long kib = 0;
    while (status >> key) {
        if (key == "Name:" && (!(status >> name) || name != "dem_varnel")) return 0;
        if (key == "VmHWM:" && status >> kib) return kib;
    }
    return 0;
}
}  // namespace

Session finish_program(Running& run, int seconds) {
    if (run.input >= 0) close(run.input);
    run.input = -1;
    Session session;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int wstatus = 0;
    for (;;) {
        // The high-water mark of the program's own image, read while it runs (wait4's
        // figure would include this process, whose image the program was forked from).
        session.peak_kib = std::max(session.peak_kib, resident_peak_kib(run.pid));
        const pid_t done = waitpid(run.pid, &wstatus, WNOHANG);
        if (done == run.pid) break;
        if (std::chrono::steady_clock::now() > end) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, &wstatus, 0);
            session.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    session.status = !session.timed_out && WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    session.out = slurp(run.out_path);
    session.err = slurp(run.err_path);
    unlink(run.out_path.c_str());
    unlink(run.err_path.c_str());
    return session;
}

Session run_program(const TempRoot& root, const std::string& answers, Options options) {
    Running run = start_program(root, answers, options);
    return finish_program(run, options.seconds);
}

std::string raw16(const std::vector<std::uint16_t>& cells) {
    std::string bytes;
    for (std::uint16_t v : cells) {
        bytes.push_back(static_cast<char>(v & 0xFF));
        bytes.push_back(static_cast<char>(v >> 8));
    }
    return bytes;
}

std::string raw32(const std::vector<std::int32_t>& cells) {
    std::string bytes;
    for (std::int32_t s : cells) {
        const auto v = static_cast<std::uint32_t>(s);
        for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
    }
    return bytes;
}

std::vector<std::uint16_t> cells16(const std::string& bytes) {
    std::vector<std::uint16_t> cells(bytes.size() / 2);
    for (std::size_t k = 0; k < cells.size(); ++k)
        cells[k] = static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[2 * k]) |
                                              static_cast<unsigned char>(bytes[2 * k + 1]) << 8);
    return cells;
}

std::vector<std::int32_t> cells32(const std::string& bytes) {
    std::vector<std::int32_t> cells(bytes.size() / 4);
    for (std::size_t k = 0; k < cells.size(); ++k) {
        std::uint32_t v = 0;
        for (int b = 0; b < 4; ++b)
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[4 * k + b]))
                 << (8 * b);
        cells[k] = static_cast<std::int32_t>(v);
    }
    return cells;
}
