/*
 * testutil.h - scratch directories, files and a kelvo process for tests.
 */
#ifndef KELVO_TESTUTIL_H
#define KELVO_TESTUTIL_H

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kt {

inline std::string
read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

inline void
write_file(const std::string &path, const std::string &text)
{
	std::ofstream f(path, std::ios::binary | std::ios::trunc);
	f << text;
}

inline bool
exists(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0;
}

inline mode_t
mode_of(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

/* The text of the first <name> element in an XML text, or "" when none. */
inline std::string
element(const std::string &xml, const std::string &name)
{
	std::string open = "<" + name + ">", close = "</" + name + ">";
	size_t a = xml.find(open), b;
	if (a == std::string::npos)
		return "";
	a += open.size();
	b = xml.find(close, a);
	return b == std::string::npos ? "" : xml.substr(a, b - a);
}

/* The value of attribute name in a PPS object text, or "?" when none. */
inline std::string
attribute(const std::string &text, const std::string &name)
{
	std::string key = "\n" + name + "::";
	size_t a = text.find(key), b;
	if (a == std::string::npos)
		return "?";
	a += key.size();
	b = text.find('\n', a);
	return text.substr(a, b == std::string::npos ? b : b - a);
}

/* Polls cond every 5 ms for up to seconds; true once it holds. */
inline bool
wait_for(const std::function<bool()> &cond, double seconds = 10)
{
	auto end = std::chrono::steady_clock::now() +
	    std::chrono::milliseconds((long)(seconds * 1000));
	while (std::chrono::steady_clock::now() < end) {
		if (cond())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
	return cond();
}

/*
 * Stops process pid and waits until every thread of it has stopped: a
 * SIGSTOP is only delivered once one of its threads next runs, and until
 * the others have stopped too they may still take what is written.
 */
inline bool
stop_process(pid_t pid)
{
	std::string tasks = "/proc/" + std::to_string(pid) + "/task";
	if (kill(pid, SIGSTOP) != 0)
		return false;
	return wait_for([&] {
		DIR *dir = opendir(tasks.c_str());
		bool all = dir != nullptr;
		while (struct dirent *e = dir ? readdir(dir) : nullptr) {
			if (e->d_name[0] == '.')
				continue;
			std::string st = read_file(tasks + "/" + e->d_name +
			    "/stat");
			size_t at = st.rfind(") ");
			if (at == std::string::npos || st.compare(at + 2, 1, "T"))
				all = false;
		}
		if (dir != nullptr)
			closedir(dir);
		return all;
	});
}

/*
 * Counts the texts published to a PPS object.  Each is a temporary file
 * ".NAME.XXXXXX" renamed over the object; the temporary names are counted,
 * as inotify merges identical events back to back and two publications
 * in a row would show as one move to NAME.
 */
struct Publications {
	int fd;
	std::string name;

	Publications(const std::string &dir, const std::string &object)
	    : fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
	      name("." + object + ".") {
		if (fd >= 0 &&
		    inotify_add_watch(fd, dir.c_str(), IN_MOVED_FROM) < 0) {
			close(fd);
			fd = -1;
		}
	}
	~Publications() { if (fd >= 0) close(fd); }
	bool ok() const { return fd >= 0; }
	/* How many arrived since the last call. */
	int take() {
		alignas(struct inotify_event) char buf[8192];
		ssize_t len;
		int n = 0;
		while ((len = read(fd, buf, sizeof(buf))) > 0)
			for (char *p = buf; p < buf + len; ) {
				struct inotify_event *e = (struct inotify_event *)p;
				if (e->len > 0 &&
				    strncmp(e->name, name.c_str(), name.size()) == 0)
					n++;
				p += sizeof(*e) + e->len;
			}
		return n;
	}
};

/* How many times text occurs in s. */
inline int
count(const std::string &s, const std::string &text)
{
	int n = 0;
	for (size_t p = s.find(text); p != std::string::npos;
	    p = s.find(text, p + text.size()))
		n++;
	return n;
}

/* A scratch directory, removed with everything in it. */
struct TempDir {
	std::string path;
	TempDir() {
		char tmpl[] = "/tmp/kelvo-test-XXXXXX";
		path = mkdtemp(tmpl);
	}
	~TempDir() {
		std::string cmd = "chmod -R u+rwx '" + path + "' 2>/dev/null;"
		    " rm -rf '" + path + "'";
		if (system(cmd.c_str()) != 0)
			fprintf(stderr, "could not remove %s\n", path.c_str());
	}
	std::string operator/(const std::string &name) const {
		return path + "/" + name;
	}
};

/* A kelvo process, its standard output and error kept in files. */
struct Kelvo {
	pid_t pid = -1;
	std::string out, err;

	Kelvo(const std::string &pps_root, const std::vector<std::string> &args,
	    const std::string &logdir) {
		out = logdir + "/kelvo.out";
		err = logdir + "/kelvo.err";
		pid = fork();
		if (pid == 0) {
			std::vector<char *> argv;
			argv.push_back((char *)KELVO_BIN);
			for (auto &a : args)
				argv.push_back((char *)a.c_str());
			argv.push_back(nullptr);
			int o = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
			int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
			dup2(o, 1);
			dup2(e, 2);
			if (pps_root.empty())
				unsetenv("PPS_ROOT");
			else
				setenv("PPS_ROOT", pps_root.c_str(), 1);
			execv(KELVO_BIN, argv.data());
			_exit(127);
		}
	}
	~Kelvo() { kill_hard(); }

	/* Exit status as the shell sees it, -1 when it timed out. */
	int wait_exit(double seconds = 10) {
		int status = 0;
		if (pid < 0)
			return -1;
		bool done = wait_for([&] {
			return waitpid(pid, &status, WNOHANG) == pid;
		}, seconds);
		if (!done)
			return -1;
		pid = -1;
		return WIFEXITED(status) ? WEXITSTATUS(status) :
		    128 + WTERMSIG(status);
	}
	int stop(int sig = SIGTERM) {
		if (pid > 0)
			kill(pid, sig);
		return wait_exit();
	}
	void kill_hard() {
		if (pid > 0) {
			kill(pid, SIGKILL);
			waitpid(pid, nullptr, 0);
			pid = -1;
		}
	}
	/* User plus system CPU time so far, in seconds. */
	double cpu_seconds() const {
		std::string stat = read_file("/proc/" + std::to_string(pid) +
		    "/stat");
		size_t p = stat.rfind(')');
		if (p == std::string::npos)
			return -1;
		std::istringstream in(stat.substr(p + 2));
		std::string f;
		unsigned long ut = 0, st = 0;
		for (int i = 3; i <= 15 && in >> f; i++) {
			if (i == 14)
				ut = std::stoul(f);
			if (i == 15)
				st = std::stoul(f);
		}
		return (double)(ut + st) / sysconf(_SC_CLK_TCK);
	}
	std::string output() const { return read_file(out); }
	std::string errors() const { return read_file(err); }
};

/* Runs kelvo to completion (for the option errors); returns the status. */
inline int
run_kelvo(const std::vector<std::string> &args, std::string *out,
    std::string *err)
{
	TempDir logs;
	int status;
	{
		Kelvo k("", args, logs.path);
		status = k.wait_exit();
		if (out)
			*out = k.output();
		if (err)
			*err = k.errors();
	}
	return status;
}

} // namespace kt

#endif
