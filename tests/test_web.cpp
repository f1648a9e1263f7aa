/*
 * kelvo-web run as a process against a real kelvo in a scratch root, and
 * driven over plain sockets to 127.0.0.1: every status code of the API,
 * presses and targets reaching the document, the event stream from its
 * first event on, the Host, Origin and token rules, the options,
 * keep-alive and pipelining, and hostile requests, slow clients, floods
 * and token guessing after which it still serves the others and logs a
 * few lines.  Some clients dial from 127.0.0.2 and up, all loopback, to be
 * other addresses.
 */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>
#include <memory>

#include <nlohmann/json.hpp>

#include "contract.h"
#include "testutil.h"

namespace {

using nlohmann::json;

/* kelvo-web as a process; its URL line read from standard output. */
struct Web {
	pid_t pid = -1;
	int port = -1;
	std::string line, err;

	Web(const std::string &pps, const std::vector<std::string> &args,
	    const std::string &logdir, const char *token = nullptr) {
		int fd[2];
		err = logdir + "/web.err";
		if (pipe(fd) < 0)
			return;
		pid = fork();
		if (pid == 0) {
			std::vector<char *> argv{ (char *)KELVO_WEB_BIN };
			for (auto &a : args)
				argv.push_back((char *)a.c_str());
			argv.push_back(nullptr);
			dup2(fd[1], 1);
			int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND,
			    0644);
			dup2(e, 2);
			setenv("PPS_ROOT", pps.c_str(), 1);
			if (token)
				setenv("KELVO_WEB_TOKEN", token, 1);
			else
				unsetenv("KELVO_WEB_TOKEN");
			execv(KELVO_WEB_BIN, argv.data());
			_exit(127);
		}
		close(fd[1]);
		/* The line comes once listening; give sanitizers time. */
		struct pollfd p = { fd[0], POLLIN, 0 };
		char c;
		while (poll(&p, 1, 20000) > 0 && read(fd[0], &c, 1) == 1 &&
		    c != '\n')
			line += c;
		close(fd[0]);
		size_t colon = line.rfind(':');
		if (colon != std::string::npos)
			port = atoi(line.c_str() + colon + 1);
	}
	~Web() { stop(SIGKILL); }
	/* The exit status, -1 when it does not end within seconds. */
	int stop(int sig = SIGTERM, double seconds = 15) {
		int status = 0;
		if (pid < 0)
			return -1;
		kill(pid, sig);
		if (!kt::wait_for([&] { return waitpid(pid, &status, WNOHANG) ==
		    pid; }, seconds))
			return -1;
		pid = -1;
		return WIFEXITED(status) ? WEXITSTATUS(status) :
		    128 + WTERMSIG(status);
	}
	std::string host() const { return "127.0.0.1:" + std::to_string(port); }
};

/* kelvo-web run to its end, for the option errors. */
int
run_web(const std::vector<std::string> &args, std::string *err,
    const char *token = nullptr)
{
	kt::TempDir logs;
	Web w(logs.path, args, logs.path, token);
	int status = -1;
	kt::wait_for([&] { return waitpid(w.pid, &status, WNOHANG) == w.pid; },
	    20);
	w.pid = -1;
	*err = kt::read_file(logs / "web.err");
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* The loopback address connections come from; 127.0.0.1 unless set. */
const char *source = nullptr;

/* Dials from another loopback address while it is in scope. */
struct From {
	const char *was;
	explicit From(const char *addr) : was(source) { source = addr; }
	~From() { source = was; }
};

int
dial(int port)
{
	struct sockaddr_in sa = {}, from = {};
	struct timeval tv = { 20, 0 };
	int fd = socket(AF_INET, SOCK_STREAM, 0);

	sa.sin_family = AF_INET;
	sa.sin_port = htons((uint16_t)port);
	sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
	from.sin_family = AF_INET;
	if (source != nullptr && (inet_pton(AF_INET, source,
	    &from.sin_addr) != 1 || bind(fd, (struct sockaddr *)&from,
	    sizeof(from)) < 0)) {
		close(fd);
		return -1;
	}
	if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

bool
send_all(int fd, const std::string &s)
{
	for (size_t off = 0; off < s.size();) {
		ssize_t n = send(fd, s.data() + off, s.size() - off,
		    MSG_NOSIGNAL);
		if (n <= 0)
			return false;
		off += (size_t)n;
	}
	return true;
}

/* Decodes whole chunks from raw into body; false on a broken chunk. */
bool
dechunk(std::string &raw, std::string &body, bool *ended)
{
	for (;;) {
		size_t eol = raw.find("\r\n");
		if (eol == std::string::npos)
			return true;
		size_t len = strtoul(raw.c_str(), nullptr, 16);
		if (len == 0) {
			*ended = true;
			return true;
		}
		if (raw.size() < eol + 2 + len + 2)
			return true;
		body.append(raw, eol + 2, len);
		raw.erase(0, eol + 2 + len + 2);
	}
}

struct Response {
	int status = -1;
	std::map<std::string, std::string> headers;	/* lower-case names */
	std::string body;
	json j() const { return json::parse(body, nullptr, false); }
};

/* Splits the status line and the headers off raw; false until all in. */
bool
parse_head(std::string &raw, Response *r)
{
	size_t end = raw.find("\r\n\r\n");
	if (end == std::string::npos)
		return false;
	std::istringstream in(raw.substr(0, end));
	std::string line, proto;
	std::getline(in, line);
	std::istringstream(line) >> proto >> r->status;
	while (std::getline(in, line)) {
		size_t c = line.find(':');
		if (c == std::string::npos)
			continue;
		std::string name = line.substr(0, c);
		for (char &ch : name)
			ch = (char)tolower((unsigned char)ch);
		std::string v = line.substr(c + 1);
		v.erase(0, v.find_first_not_of(' '));
		if (!v.empty() && v.back() == '\r')
			v.pop_back();
		r->headers[name] += r->headers.count(name) ? ", " + v : v;
	}
	raw.erase(0, end + 4);
	return true;
}

/* Sends text as it is and reads the answer until the server closes. */
Response
talk(int port, const std::string &text)
{
	Response r;
	std::string raw;
	char buf[8192];
	ssize_t n;
	int fd = dial(port);

	if (fd < 0)
		return r;
	send_all(fd, text);
	while ((n = recv(fd, buf, sizeof(buf), 0)) > 0)
		raw.append(buf, (size_t)n);
	close(fd);
	if (!parse_head(raw, &r))
		return r;
	bool ended = false;
	if (r.headers["transfer-encoding"] == "chunked")
		dechunk(raw, r.body, &ended);
	else
		r.body = raw;
	return r;
}

/*
 * One request; headers "Name: value" lines.  A Host line is added unless
 * one is given; host "" sends none.
 */
Response
http(const Web &w, const std::string &method, const std::string &path,
    const std::vector<std::string> &headers = {},
    const std::string &body = "", const char *version = "HTTP/1.1")
{
	std::string t = method + " " + path + " " + version + "\r\n";
	bool host = false;
	for (auto &h : headers) {
		host |= strncasecmp(h.c_str(), "Host:", 5) == 0;
		if (h != "Host: ")
			t += h + "\r\n";
		else
			host = true;
	}
	if (!host)
		t += "Host: " + w.host() + "\r\n";
	if (!body.empty() || method == "POST" || method == "PUT")
		t += "Content-Length: " + std::to_string(body.size()) + "\r\n";
	return talk(w.port, t + "Connection: close\r\n\r\n" + body);
}

/* A request for a connection kept alive; headers as for http(). */
std::string
request(const Web &w, const std::string &method, const std::string &path,
    const std::vector<std::string> &headers = {},
    const std::string &body = "")
{
	std::string t = method + " " + path + " HTTP/1.1\r\nHost: " +
	    w.host() + "\r\n";
	for (auto &h : headers)
		t += h + "\r\n";
	if (!body.empty() || method == "POST" || method == "PUT")
		t += "Content-Length: " + std::to_string(body.size()) + "\r\n";
	return t + "\r\n" + body;
}

/*
 * The next answer on a kept connection, by its Content-Length; raw keeps
 * what came after it.  Status -1 when the connection ended first.
 */
Response
answer(int fd, std::string &raw)
{
	Response r;
	char buf[8192];
	ssize_t n;

	while (!parse_head(raw, &r)) {
		if ((n = recv(fd, buf, sizeof(buf), 0)) <= 0)
			return Response();
		raw.append(buf, (size_t)n);
	}
	size_t len = strtoul(r.headers["content-length"].c_str(), nullptr, 10);
	while (raw.size() < len) {
		if ((n = recv(fd, buf, sizeof(buf), 0)) <= 0)
			return Response();
		raw.append(buf, (size_t)n);
	}
	r.body = raw.substr(0, len);
	raw.erase(0, len);
	return r;
}

/* Has the server closed fd (or refused it)?  Waits at most ms. */
bool
closed(int fd, int ms = 0)
{
	struct pollfd p = { fd, POLLIN, 0 };
	char c;

	if (poll(&p, 1, ms) != 1)
		return false;
	return recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

/* A change as a page or a program sends it. */
Response
api(const Web &w, const std::string &method, const std::string &path,
    const std::string &body = "{}")
{
	return http(w, method, path, { "Content-Type: application/json" },
	    body);
}

/* An open event stream, read event by event. */
struct Stream {
	int fd = -1;
	Response head;
	std::string raw, body;
	bool chunked = false, ended = false;

	Stream(const Web &w, const std::string &extra = "") {
		if ((fd = dial(w.port)) < 0)
			return;
		send_all(fd, "GET /api/events HTTP/1.1\r\nHost: " + w.host() +
		    "\r\n" + extra + "\r\n");
		while (!parse_head(raw, &head) && more(20))
			;
		chunked = head.headers["transfer-encoding"] == "chunked";
		if (chunked)
			dechunk(raw, body, &ended);
		else {
			body = raw;
			raw.clear();
		}
	}
	~Stream() { hang_up(); }
	void hang_up() {
		if (fd >= 0)
			close(fd);
		fd = -1;
	}
	/* Reads what comes within seconds; false at the end or on none. */
	bool more(double seconds) {
		struct pollfd p = { fd, POLLIN, 0 };
		char buf[8192];
		if (fd < 0 || poll(&p, 1, (int)(seconds * 1000)) <= 0)
			return false;
		ssize_t n = recv(fd, buf, sizeof(buf), 0);
		if (n <= 0) {
			ended = true;
			return false;
		}
		raw.append(buf, (size_t)n);
		if (head.status <= 0)
			return true;
		if (chunked)
			dechunk(raw, body, &ended);
		else {
			body += raw;
			raw.clear();
		}
		return true;
	}
	/*
	 * The next event within seconds: its name and data, or a comment
	 * as name ":"; false when none came.
	 */
	bool next(std::string *name, std::string *data, double seconds = 10) {
		auto end = std::chrono::steady_clock::now() +
		    std::chrono::milliseconds((long)(seconds * 1000));
		for (;;) {
			size_t e = body.find("\n\n");
			if (e != std::string::npos) {
				std::string ev = body.substr(0, e + 1);
				body.erase(0, e + 2);
				*name = ev[0] == ':' ? ":" : "message";
				data->clear();
				std::istringstream in(ev);
				std::string line;
				while (std::getline(in, line)) {
					if (line.rfind("event: ", 0) == 0)
						*name = line.substr(7);
					if (line.rfind("data: ", 0) == 0)
						*data = line.substr(6);
				}
				return true;
			}
			double left = std::chrono::duration<double>(end -
			    std::chrono::steady_clock::now()).count();
			if (left <= 0 || !more(left))
				return false;
		}
	}
	/* The data of the next event named want, skipping others. */
	json next_named(const std::string &want, double seconds = 10) {
		std::string name, data;
		auto end = std::chrono::steady_clock::now() +
		    std::chrono::milliseconds((long)(seconds * 1000));
		while (std::chrono::steady_clock::now() < end)
			if (next(&name, &data, 1) && name == want)
				return json::parse(data, nullptr, false);
		return json();
	}
};

/* A scratch root with kelvo-web on 127.0.0.1:0, kelvo when wanted. */
class WebTest : public ::testing::Test {
protected:
	kt::TempDir root;
	std::string pps, state;
	std::unique_ptr<kt::Kelvo> kelvo;

	void SetUp() override {
		pps = root / "pps";
		state = root / "state";
		ASSERT_EQ(mkdir(pps.c_str(), 0700), 0);
		ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
	}
	void start_kelvo(const Web &w) {
		/* The last one gone first, and this one's sim object written. */
		kelvo.reset();
		kelvo.reset(new kt::Kelvo(pps, { state }, root.path));
		std::string me = "\nstart::" + std::to_string(kelvo->pid) + "@";
		ASSERT_TRUE(kt::wait_for([&] {
			return http(w, "GET", "/api/state").status == 200 &&
			    kt::read_file(pps + "/kelvo/sim").find(me) !=
			    std::string::npos; }, 20));
	}
	std::string doc(const char *name) {
		return kt::element(kt::read_file(root / "state/kelvoweb.xml"),
		    name);
	}
	std::string inputs() { return kt::read_file(pps + "/kelvo/inputs"); }
};

TEST_F(WebTest, StateHistoryPageAndEveryRefusal)
{
	Web w(pps, { "--listen", "127.0.0.1:0" }, root.path);
	ASSERT_GT(w.port, 0) << w.line;
	EXPECT_EQ(w.line, "kelvo-web: http://127.0.0.1:" +
	    std::to_string(w.port) + "/");

	/* No kelvo: 503 and nothing written for a later kelvo to take. */
	Response r = http(w, "GET", "/api/state");
	EXPECT_EQ(r.status, 503);
	EXPECT_TRUE(r.j()["error"].is_string()) << r.body;
	EXPECT_EQ(api(w, "POST", "/api/press/up").status, 503);
	EXPECT_EQ(api(w, "PUT", "/api/setpoint", "{\"value\": 72}").status, 503);
	EXPECT_FALSE(kt::exists(pps + "/kelvo/inputs"));
	EXPECT_EQ(http(w, "GET", "/api/history").body, "[]");
	Stream s(w);
	EXPECT_EQ(s.head.status, 200);
	EXPECT_EQ(s.head.headers["content-type"], "text/event-stream");
	EXPECT_EQ(s.next_named("status"), json({ { "running", false } }));

	start_kelvo(w);
	EXPECT_EQ(s.next_named("status", 15), json({ { "running", true } }));
	r = http(w, "GET", "/api/state");
	EXPECT_EQ(r.headers["content-type"], "application/json");
	json st = r.j();
	ASSERT_EQ(st.size(), 19u) << r.body;
	for (const char *k : { "ts_mode", "ts_fan", "td_sys", "td_time_",
	    "td_time", "plant", "clock" })
		EXPECT_TRUE(st[k].is_string()) << k;
	for (const char *k : { "ts_temp", "td_temp_in", "td_temp_out" })
		EXPECT_TRUE(st[k].is_number_integer()) << k;
	for (const char *k : { "td_temp_in_", "td_temp_out_" })
		EXPECT_TRUE(st[k].is_number()) << k;
	EXPECT_EQ(st["ts_temp"], 68);
	EXPECT_EQ(st["ts_mode"], "HEAT");

	/* A day's history, one sample per minute seen, oldest first. */
	ASSERT_TRUE(kt::wait_for([&] {
		return http(w, "GET", "/api/history").j().size() >= 3; }));
	json h = http(w, "GET", "/api/history").j();
	ASSERT_TRUE(h.is_array());
	for (auto &e : h) {
		EXPECT_EQ(e.size(), 6u) << e.dump();
		EXPECT_EQ(e["td_time_"].get<std::string>().size(), 4u);
		EXPECT_EQ(e["minute"], kc_minute_of(
		    e["td_time_"].get<std::string>().c_str()));
		EXPECT_EQ(e["ts_temp"], 68);
	}
	EXPECT_LT(h[0]["td_time_"].get<std::string>(),
	    h[h.size() - 1]["td_time_"].get<std::string>());

	/* The page, its files and Chart.js, from the binary itself. */
	r = http(w, "GET", "/");
	EXPECT_EQ(r.status, 200);
	EXPECT_EQ(r.headers["content-type"], "text/html; charset=utf-8");
	EXPECT_NE(r.headers["content-security-policy"].find("default-src "
	    "'self'"), std::string::npos);
	for (const char *id : { "indoor", "setpoint", "mode", "fan", "plant",
	    "time", "outdoor", "btn-mode", "btn-fan", "btn-up", "btn-down",
	    "chart", "status" })
		EXPECT_NE(r.body.find(std::string("id=\"") + id + "\""),
		    std::string::npos) << id;
	EXPECT_EQ(r.body.find("http"), std::string::npos) << "nothing "
	    "loaded from another host";
	r = http(w, "GET", "/static/chart.min.js");
	EXPECT_EQ(r.status, 200);
	EXPECT_EQ(r.body.rfind("/*!\n * Chart.js", 0), 0u);
	EXPECT_EQ(r.body, kt::read_file("/usr/share/javascript/chart.js/"
	    "chart.min.js"));
	EXPECT_EQ(http(w, "GET", "/static/kelvo.js").status, 200);
	EXPECT_EQ(http(w, "GET", "/static/kelvo.css").status, 200);
	r = http(w, "HEAD", "/");
	EXPECT_EQ(r.status, 200);
	EXPECT_EQ(r.body, "");

	/* Each refusal, with its JSON error. */
	struct {
		int status;
		Response r;
	} refused[] = {
		{ 404, http(w, "GET", "/nope") },
		{ 404, http(w, "GET", "/api/state/") },
		{ 404, api(w, "POST", "/api/press/warp") },
		{ 404, api(w, "POST", "/api/press/") },
		{ 405, http(w, "GET", "/api/press/up") },
		{ 405, api(w, "POST", "/api/state") },
		{ 405, api(w, "DELETE", "/api/setpoint") },
		{ 405, api(w, "POST", "/api/mode", "{\"value\": \"OFF\"}") },
		/* Bare is no body; a body must say it is JSON. */
		{ 415, http(w, "POST", "/api/press/up", {}, "{}") },
		{ 415, http(w, "POST", "/api/press/up", { "Content-Type: "
		    "text/plain" }, "{}") },
		{ 415, http(w, "PUT", "/api/mode", { "Content-Type: "
		    "application/x-www-form-urlencoded" }, "value=COOL") },
		{ 415, http(w, "PUT", "/api/fan", { "Content-Type: "
		    "application/jsonp" }, "{\"value\": \"ON\"}") },
		{ 413, api(w, "PUT", "/api/setpoint", "{\"value\": 72" +
		    std::string(5000, ' ') + "}") },
		{ 413, http(w, "PUT", "/api/setpoint", { "Content-Type: "
		    "application/json", "Transfer-Encoding: chunked" },
		    "1388\r\n" + std::string(5000, ' ') + "\r\n0\r\n\r\n") },
	};
	for (auto &x : refused) {
		EXPECT_EQ(x.r.status, x.status) << x.r.body;
		EXPECT_TRUE(x.r.j()["error"].is_string()) << x.r.body;
	}
	EXPECT_EQ(refused[4].r.headers["allow"], "POST");
	EXPECT_EQ(refused[5].r.headers["allow"], "GET, HEAD");

	/* Bad targets: 400, and nothing pressed. */
	const std::vector<std::pair<std::string, std::string>> bad = {
		{ "/api/setpoint", "{\"value\": 70.5}" },
		{ "/api/setpoint", "{\"value\": \"72\"}" },
		{ "/api/setpoint", "{\"value\": 59}" },
		{ "/api/setpoint", "{\"value\": 91}" },
		{ "/api/setpoint", "{\"value\": 1e300}" },
		{ "/api/setpoint", "{\"value\": -72}" },
		{ "/api/setpoint", "{\"value\": true}" },
		{ "/api/setpoint", "{\"value\": null}" },
		{ "/api/setpoint", "{\"degrees\": 72}" },
		{ "/api/setpoint", "[72]" },
		{ "/api/setpoint", "72" },
		{ "/api/setpoint", "{\"value\": 72" },
		{ "/api/setpoint", "" },
		{ "/api/mode", "{\"value\": \"WARM\"}" },
		{ "/api/mode", "{\"value\": \" cool\"}" },
		{ "/api/mode", "{\"value\": \"HEAT\\u0000\"}" },
		{ "/api/mode", "{\"value\": 1}" },
		{ "/api/mode", "{\"value\": \"\xff\"}" },
		{ "/api/fan", "{\"value\": \"OFF\"}" },
		{ "/api/fan", "{\"value\": [\"ON\"]}" },
		{ "/api/fan", std::string(2000, '[') },
	};
	for (auto &b : bad) {
		r = api(w, "PUT", b.first, b.second);
		EXPECT_EQ(r.status, 400) << b.first << " " << b.second;
		EXPECT_TRUE(r.j()["error"].is_string()) << r.body;
	}
	EXPECT_EQ(api(w, "PUT", "/api/setpoint", "{\"value\": 68.0}").j(),
	    json({ { "target", 68 } })) << "68.0 is whole";
	std::this_thread::sleep_for(std::chrono::milliseconds(1500));
	EXPECT_EQ(doc("ts_temp"), "68");
	EXPECT_EQ(doc("ts_mode"), "HEAT");
	EXPECT_EQ(doc("ts_fan"), "AUTO");
	EXPECT_EQ(inputs().find("event"), std::string::npos) << inputs();
	EXPECT_EQ(w.stop(), 0);
}

TEST_F(WebTest, PressesAndTargetsReachTheDocumentAndTheStream)
{
	Web w(pps, { "--listen", "127.0.0.1:0" }, root.path);
	ASSERT_GT(w.port, 0) << w.line;
	start_kelvo(w);
	Stream s(w);
	json first = s.next_named("state");
	EXPECT_EQ(first["ts_temp"], 68) << "the first event is the state";

	/* Ten quick presses are all taken, in order. */
	for (int i = 0; i < 10; i++) {
		Response r = api(w, "POST", "/api/press/up");
		EXPECT_EQ(r.status, 202);
		EXPECT_GE(r.j()["queued"].get<int>(), 1) << r.body;
	}
	EXPECT_TRUE(kt::wait_for([&] { return doc("ts_temp") == "78"; }, 30))
	    << doc("ts_temp");
	EXPECT_TRUE(kt::wait_for([&] {
		return s.next_named("state", 1)["ts_temp"] == 78; }, 15));

	EXPECT_EQ(api(w, "PUT", "/api/setpoint", "{\"value\": 85}").status, 202);
	EXPECT_EQ(api(w, "PUT", "/api/setpoint", "{\"value\": 70.0}").j(),
	    json({ { "target", 70 } })) << "replaces the one under way";
	EXPECT_EQ(api(w, "PUT", "/api/mode", "{\"value\": \"cool\"}").j(),
	    json({ { "target", "COOL" } }));
	EXPECT_EQ(api(w, "PUT", "/api/fan", "{\"value\": \"On\"}").j(),
	    json({ { "target", "ON" } }));
	EXPECT_TRUE(kt::wait_for([&] { return doc("ts_temp") == "70" &&
	    doc("ts_mode") == "COOL" && doc("ts_fan") == "ON"; }, 40))
	    << kt::read_file(root / "state/kelvoweb.xml");
	EXPECT_TRUE(kt::wait_for([&] {
		return s.next_named("state", 1)["ts_mode"] == "COOL"; }, 15));

	/* kelvo gone: the stream says so, and presses are refused. */
	kelvo->kill_hard();
	EXPECT_EQ(s.next_named("status", 20), json({ { "running", false } }));
	EXPECT_EQ(http(w, "GET", "/api/state").status, 503);
	EXPECT_EQ(api(w, "POST", "/api/press/down").status, 503);
	EXPECT_EQ(api(w, "PUT", "/api/fan", "{\"value\": \"AUTO\"}").status, 503);
	std::this_thread::sleep_for(std::chrono::milliseconds(1500));
	EXPECT_EQ(inputs().find("event"), std::string::npos) << inputs();
	EXPECT_EQ(w.stop(SIGINT), 0);
}

/*
 * The modern thermostat on the web: its values null in classic, the band
 * and the presets set by batches whose refusals are 409s in the rule's
 * words, AUTO driven by the mode button, and the band by up and down.
 */
TEST_F(WebTest, ModernRangePresetsAndAuto)
{
	Web w(pps, { "--listen", "127.0.0.1:0" }, root.path);
	ASSERT_GT(w.port, 0) << w.line;
	start_kelvo(w);
	json st = http(w, "GET", "/api/state").j();
	EXPECT_TRUE(st.contains("ts_temp_low"));
	EXPECT_TRUE(st["ts_temp_low"].is_null());
	EXPECT_TRUE(st["td_humidity"].is_null());
	Response r = api(w, "PUT", "/api/range", "{\"low\": 70, \"high\": 75}");
	EXPECT_EQ(r.status, 409);
	EXPECT_EQ(r.j()["error"], "ts_temp_low: the classic profile has none "
	    "(profile::modern first)");
	EXPECT_EQ(api(w, "PUT", "/api/mode", "{\"value\": \"auto\"}").status,
	    409);
	EXPECT_EQ(api(w, "PUT", "/api/preset", "{\"preset\": \"home\"}").status,
	    409);

	ASSERT_EQ(api(w, "PUT", "/api/sim", "{\"profile\": \"modern\"}").status,
	    200);
	st = http(w, "GET", "/api/state").j();
	EXPECT_EQ(st["ts_temp_low"], 68);
	EXPECT_EQ(st["ts_temp_high"], 74);
	EXPECT_EQ(st["ts_preset"], "none");
	EXPECT_TRUE(st["td_humidity_"].is_number());
	const std::pair<const char *, const char *> refused[] = {
		{ "{\"low\": 70, \"high\": 72}", "narrower than the deadband" },
		{ "{\"low\": 88, \"high\": 91}",
		    "would push ts_temp_high above 90" },
		{ "{\"low\": 50, \"high\": 70}", "in 60..90" },
	};
	for (auto &[body, why] : refused) {
		r = api(w, "PUT", "/api/range", body);
		EXPECT_EQ(r.status, 409) << body;
		EXPECT_NE(r.body.find(why), std::string::npos) << r.body;
	}
	EXPECT_EQ(api(w, "PUT", "/api/range", "{\"low\": \"70\"}").status, 400);
	EXPECT_EQ(api(w, "PUT", "/api/preset", "{\"preset\": \"none\"}").status,
	    400);
	EXPECT_EQ(doc("ts_temp_low"), "68");

	EXPECT_EQ(api(w, "PUT", "/api/range", "{\"low\": 80, \"high\": 85}").status,
	    200);
	st = http(w, "GET", "/api/state").j();
	EXPECT_EQ(st["ts_temp_low"], 80);
	EXPECT_EQ(st["ts_temp_high"], 85);
	EXPECT_EQ(api(w, "PUT", "/api/preset", "{\"preset\": \"away\"}").status,
	    200);
	st = http(w, "GET", "/api/state").j();
	EXPECT_EQ(st["ts_preset"], "away");
	EXPECT_EQ(st["ts_temp"], 62);
	EXPECT_EQ(st["ts_temp_high"], 80);

	/* HEAT, COOL, AUTO by the mode button; then up moves the band. */
	EXPECT_EQ(api(w, "PUT", "/api/mode", "{\"value\": \"auto\"}").j(),
	    json({ { "target", "AUTO" } }));
	EXPECT_TRUE(kt::wait_for([&] { return doc("ts_mode") == "AUTO"; }, 30));
	EXPECT_EQ(api(w, "POST", "/api/press/up").status, 202);
	EXPECT_TRUE(kt::wait_for([&] { return doc("ts_temp_low") == "61"; }, 30));
	EXPECT_EQ(doc("ts_temp_high"), "81");
	EXPECT_EQ(doc("ts_preset"), "none");
	EXPECT_EQ(doc("ts_temp"), "62");
	EXPECT_EQ(w.stop(SIGINT), 0);
}

TEST_F(WebTest, HostOriginAndTokenRules)
{
	{
		Web w(pps, { "--listen", "127.0.0.1:0" }, root.path);
		ASSERT_GT(w.port, 0) << w.line;
		std::string p = ":" + std::to_string(w.port);
		for (const char *ok : { "localhost", "LocalHost", "127.9.8.7",
		    "[::1]" })
			EXPECT_EQ(http(w, "GET", "/", { "Host: " + std::string(ok) +
			    p }).status, 200) << ok;
		for (const char *no : { "evil.example", "127.0.0.1.evil.example",
		    "localhost.evil.example", "10.0.0.1", "[::2]", "127.0.0.1:x" })
			EXPECT_EQ(http(w, "GET", "/", { "Host: " + std::string(no) +
			    (strchr(no, ':') ? "" : p) }).status, 403) << no;
		EXPECT_EQ(http(w, "GET", "/", { "Host: " }, "", "HTTP/1.0").status,
		    403) << "no Host at all";

		/* Another host or port in Origin: refused, also for reading. */
		for (const std::string &o : std::vector<std::string>{
		    "http://evil.example",
		    "http://127.0.0.1:1", "http://localhost" + p, "null",
		    "file://", "http://127.0.0.1" + p + "/" }) {
			EXPECT_EQ(http(w, "POST", "/api/press/up", { "Origin: " + o,
			    "Content-Type: application/json" }, "{}").status, 403)
			    << o;
			EXPECT_EQ(http(w, "GET", "/api/history", { "Origin: " +
			    o }).status, 403) << o;
		}
		EXPECT_EQ(http(w, "POST", "/api/press/up", { "Origin: "
		    "http://127.0.0.1" + p, "Content-Type: application/json" },
		    "{}").status, 503) << "same origin: on to kelvo";
		EXPECT_EQ(http(w, "GET", "/", { "Host: localhost",
		    "Origin: http://localhost" }).status, 200) << "port 80";
		EXPECT_EQ(w.stop(), 0);
	}
	{
		const char *token = "s3cret-Token_1234";
		Web w(pps, { "--listen", "127.0.0.1:0" }, root.path, token);
		ASSERT_GT(w.port, 0) << w.line;
		EXPECT_EQ(w.line, "kelvo-web: http://127.0.0.1:" +
		    std::to_string(w.port) + "/?token=" + token);
		/* The cookie's name has the port: one per kelvo-web. */
		std::string name = "kelvo_web_token_" + std::to_string(w.port);
		Response r = http(w, "GET", "/");
		EXPECT_EQ(r.status, 401);
		EXPECT_EQ(r.headers["www-authenticate"], "Bearer");
		/* Each wrong one from an address of its own: no waiting. */
		int from = 10;
		for (std::string q : { "wrong", "s3cret-Token_123",
		    "s3cret-Token_12345", "" }) {
			std::string addr = "127.0.1." + std::to_string(from++);
			From f(addr.c_str());
			EXPECT_EQ(http(w, "GET", "/?token=" + q).status, 401) << q;
		}
		r = http(w, "GET", std::string("/?token=") + token);
		EXPECT_EQ(r.status, 200);
		std::string cookie = r.headers["set-cookie"];
		EXPECT_EQ(cookie.rfind(name + "=" + token + ";", 0), 0u) << cookie;
		EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
		EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
		EXPECT_EQ(http(w, "GET", "/api/history", { "Cookie: a=b; " +
		    name + "=" + token }).status, 200);
		EXPECT_EQ(http(w, "GET", "/api/history", { "Cookie: "
		    "kelvo_web_token=" + std::string(token) }).status, 401)
		    << "another port's cookie";
		{
			From f("127.0.1.20");
			EXPECT_EQ(http(w, "GET", "/api/history", { "Cookie: " +
			    name + "=nope" }).status, 401);
		}
		EXPECT_EQ(http(w, "GET", "/api/history", { "Authorization: "
		    "Bearer " + std::string(token) }).status, 200);
		EXPECT_EQ(http(w, "GET", "/api/history", { "Authorization: "
		    "Basic " + std::string(token) }).status, 401);
		Stream refused(w);
		EXPECT_EQ(refused.head.status, 401);
		Stream s(w, "Cookie: " + name + "=" + std::string(token) +
		    "\r\n");
		EXPECT_EQ(s.head.status, 200);
		EXPECT_EQ(http(w, "POST", "/api/press/up", { "Authorization: "
		    "Bearer " + std::string(token), "Content-Type: "
		    "application/json" }, "{}").status, 503);
		EXPECT_EQ(w.stop(), 0);
	}
	{
		/* Off loopback a token is made up; we still dial 127.0.0.1. */
		Web w(pps, { "--listen", "0.0.0.0:0" }, root.path);
		ASSERT_GT(w.port, 0) << w.line;
		std::string head = "kelvo-web: http://0.0.0.0:" +
		    std::to_string(w.port) + "/?token=";
		ASSERT_EQ(w.line.rfind(head, 0), 0u) << w.line;
		std::string token = w.line.substr(head.size());
		EXPECT_EQ(token.size(), 32u);
		EXPECT_EQ(token.find_first_not_of("0123456789abcdef"),
		    std::string::npos) << token;
		EXPECT_EQ(http(w, "GET", "/").status, 401);
		EXPECT_EQ(http(w, "GET", "/", { "Host: kelvo.lan:8080",
		    "Authorization: Bearer " + token }).status, 200)
		    << "the token stands in for the Host rule";
		Web again(pps, { "--listen", "0.0.0.0:0" }, root.path);
		ASSERT_NE(again.line.find("token="), std::string::npos);
		EXPECT_NE(again.line.substr(again.line.find("token=")),
		    "token=" + token);
		EXPECT_EQ(again.stop(), 0);
		EXPECT_EQ(w.stop(), 0);
	}
	/* A token with other characters, or too short to stand guessing. */
	std::string err;
	for (const std::string &bad : std::vector<std::string>{
	    "bad token with spaces", "a", "fifteen-chars-x",
	    std::string(129, 'k') }) {
		EXPECT_EQ(run_web({ "--listen", "127.0.0.1:0" }, &err,
		    bad.c_str()), 2) << bad;
		EXPECT_NE(err.find("KELVO_WEB_TOKEN must be 16 to 128"),
		    std::string::npos) << err;
	}
}

TEST(WebOptions, UsageAddressesAndSignals)
{
	std::string err;
	for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
	    { "--bogus" }, { "--listen" }, { "--listen", "127.0.0.1" },
	    { "--listen", "127.0.0.1:70000" }, { "--listen", ":8080" },
	    { "--listen", "::1:8080" }, { "--listen", "127.0.0.1:-1" },
	    { "--listen", "127.0.0.1:0", "extra" } }) {
		EXPECT_EQ(run_web(bad, &err), 2) << bad.back();
		EXPECT_NE(err.find("usage: kelvo-web"), std::string::npos) << err;
	}
	/* Not an address of this machine, and a port already taken. */
	EXPECT_EQ(run_web({ "--listen", "192.0.2.1:0" }, &err), 1);
	EXPECT_NE(err.find("cannot listen on 192.0.2.1:0"), std::string::npos)
	    << err;
	kt::TempDir root;
	Web w(root.path, { "--listen=127.0.0.1:0" }, root.path);
	ASSERT_GT(w.port, 0) << w.line;
	EXPECT_EQ(run_web({ "--listen", w.host() }, &err), 1);
	EXPECT_NE(err.find("Address already in use"), std::string::npos) << err;

	/* SIGTERM ends the streams cleanly, then kelvo-web, with 0. */
	Stream s(w);
	std::string name, data;
	ASSERT_TRUE(s.next(&name, &data));
	EXPECT_EQ(w.stop(SIGTERM), 0);
	while (s.more(5))
		;
	EXPECT_TRUE(s.ended) << "the chunked body was ended";
}

TEST_F(WebTest, HostileRequestsAndFloodsLeaveItServing)
{
	Web w(pps, { "--listen", "127.0.0.1:0" }, root.path);
	ASSERT_GT(w.port, 0) << w.line;
	auto serving = [&] { return http(w, "GET", "/").status == 200; };

	/* An idle connection and a stream, to look at again at the end. */
	int idle = dial(w.port);
	send_all(idle, "GET / HTTP/1.1\r\nHo");
	Stream quiet(w);
	auto since = std::chrono::steady_clock::now();

	for (std::string junk : {
	    std::string("\x00\xff\xfe garbage\r\n\r\n", 16),
	    std::string("GET /") + std::string(100000, 'a') + " HTTP/1.1\r\n"
	    "Host: 127.0.0.1\r\n\r\n",
	    std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n") +
	    std::string(60000, 'X') + ": y\r\n\r\n",
	    std::string("GET / HTTP/9.9\r\n\r\n"),
	    std::string("PUT /api/setpoint HTTP/1.1\r\nHost: 127.0.0.1\r\n"
	    "Content-Type: application/json\r\nContent-Length: -5\r\n\r\n") }) {
		Response r = talk(w.port, junk);
		EXPECT_NE(r.status, 200);
		EXPECT_TRUE(serving());
	}
	/* A huge body announced is refused before it is sent. */
	Response r = talk(w.port, "PUT /api/setpoint HTTP/1.1\r\nHost: " +
	    w.host() + "\r\nContent-Type: application/json\r\n"
	    "Content-Length: 1073741824\r\n\r\n{\"value\":");
	EXPECT_EQ(r.status, 413);
	/* A chunked body that runs on: 413 or cut off, and still serving. */
	std::string chunk = "4000\r\n" + std::string(0x4000, ' ') + "\r\n", big;
	for (int i = 0; i < 16; i++)
		big += chunk;
	r = talk(w.port, "PUT /api/setpoint HTTP/1.1\r\nHost: " + w.host() +
	    "\r\nContent-Type: application/json\r\nTransfer-Encoding: "
	    "chunked\r\n\r\n" + big + "0\r\n\r\n");
	EXPECT_TRUE(r.status == 413 || r.status == -1) << r.status;
	EXPECT_TRUE(serving());

	/* Three hundred connections that say nothing: others are served. */
	std::vector<int> crowd;
	for (int i = 0; i < 300; i++)
		crowd.push_back(dial(w.port));
	{
		From other("127.0.0.2");
		EXPECT_TRUE(serving());
	}
	for (int fd : crowd)
		close(fd);
	EXPECT_TRUE(kt::wait_for(serving, 10)) << "and this address again";

	/* 64 streams; the 65th is refused until one client hangs up. */
	std::vector<std::unique_ptr<Stream>> streams;
	for (int i = 1; i < 64; i++) {
		streams.emplace_back(new Stream(w));
		EXPECT_EQ(streams.back()->head.status, 200) << i;
	}
	{
		Stream over(w);
		EXPECT_EQ(over.head.status, 503);
		while (over.body.find('}') == std::string::npos && over.more(5))
			;
		EXPECT_TRUE(json::parse(over.body.substr(over.body.find('{')),
		    nullptr, false)["error"].is_string()) << over.body;
	}
	for (int i = 0; i < 10; i++)
		streams[i]->hang_up();
	for (int i = 0; i < 10; i++) {
		{
			Stream again(w);
			EXPECT_EQ(again.head.status, 200) << "hung-up ones go";
		}
		streams[i].reset(new Stream(w));
		EXPECT_EQ(streams[i]->head.status, 200) << i;
	}
	EXPECT_TRUE(serving());

	/* The idle connection timed out; the quiet stream did not. */
	std::string name, data;
	ASSERT_TRUE(quiet.next(&name, &data));
	EXPECT_EQ(name, "status");
	ASSERT_TRUE(quiet.next(&name, &data, 30));
	EXPECT_EQ(name, ":") << "a comment keeps it alive";
	EXPECT_GE(std::chrono::steady_clock::now() - since,
	    std::chrono::seconds(8));
	char c;
	struct pollfd p = { idle, POLLIN, 0 };
	EXPECT_EQ(poll(&p, 1, 30000), 1);
	EXPECT_LE(recv(idle, &c, 1, 0), 0) << "closed by kelvo-web";
	close(idle);
	EXPECT_EQ(quiet.head.status, 200);
	EXPECT_FALSE(quiet.ended);
	EXPECT_TRUE(serving());
	EXPECT_EQ(w.stop(), 0);
}

TEST_F(WebTest, KeepAlivePipeliningAndTwoHosts)
{
	Web w(pps, { "--listen", "127.0.0.1:0" }, root.path);
	ASSERT_GT(w.port, 0) << w.line;
	int fd = dial(w.port);
	std::string raw;

	/* One request after another on one connection. */
	ASSERT_TRUE(send_all(fd, request(w, "GET", "/api/history")));
	Response r = answer(fd, raw);
	EXPECT_EQ(r.status, 200);
	EXPECT_EQ(r.body, "[]");
	ASSERT_TRUE(send_all(fd, request(w, "GET", "/")));
	r = answer(fd, raw);
	EXPECT_EQ(r.status, 200);
	EXPECT_NE(r.body.find("id=\"chart\""), std::string::npos);

	/* Pipelined: all sent at once, every one answered in order. */
	ASSERT_TRUE(send_all(fd, request(w, "GET", "/api/history") +
	    request(w, "GET", "/api/state") +
	    request(w, "PUT", "/api/setpoint", { "Content-Type: "
	    "application/json" }, "{\"value\": 59}") +
	    request(w, "POST", "/api/press/up", { "Content-Type: "
	    "application/json" }, "{}") +
	    request(w, "GET", "/static/kelvo.css") +
	    request(w, "GET", "/nope")));
	for (int want : { 200, 503, 400, 503, 200, 404 }) {
		r = answer(fd, raw);
		EXPECT_EQ(r.status, want) << r.body;
	}
	EXPECT_FALSE(closed(fd)) << "still open for more";
	ASSERT_TRUE(send_all(fd, request(w, "GET", "/api/history")));
	EXPECT_EQ(answer(fd, raw).status, 200);
	close(fd);

	/* Two Host headers could name two hosts: neither is taken. */
	for (const std::vector<std::string> &h :
	    std::vector<std::vector<std::string>>{
	    { "Host: 127.0.0.1", "Host: evil.example" },
	    { "Host: evil.example", "Host: 127.0.0.1" },
	    { "Host: 127.0.0.1", "Host: 127.0.0.1" },
	    { "Origin: http://127.0.0.1", "Origin: http://evil.example" } }) {
		r = http(w, "GET", "/api/history", h);
		EXPECT_EQ(r.status, 400) << h[1];
		EXPECT_TRUE(r.j()["error"].is_string()) << r.body;
	}
	EXPECT_EQ(w.stop(), 0);
}

TEST_F(WebTest, SlowClientsDoNotLockOthersOut)
{
	Web w(pps, { "--listen", "127.0.0.1:0" }, root.path);
	ASSERT_GT(w.port, 0) << w.line;
	start_kelvo(w);
	auto opened = std::chrono::steady_clock::now();

	/* More than it takes at once, each a byte into its headers. */
	std::vector<int> slow;
	for (int i = 0; i < 520; i++) {
		int fd = dial(w.port);
		if (fd >= 0 && send_all(fd, "G"))
			slow.push_back(fd);
		else if (fd >= 0)
			close(fd);
	}
	/* And a body that comes a byte at a time. */
	int dribble = -1;
	{
		From other("127.0.0.3");
		dribble = dial(w.port);
		ASSERT_TRUE(send_all(dribble, "PUT /api/setpoint HTTP/1.1\r\n"
		    "Host: " + w.host() + "\r\nContent-Type: application/json"
		    "\r\nContent-Length: 40\r\n\r\n{"));
	}
	{
		From other("127.0.0.2");
		Response r = http(w, "GET", "/api/state");
		EXPECT_EQ(r.status, 200) << "answered beside them";
		EXPECT_EQ(r.j()["ts_temp"], 68) << r.body;
	}

	/* Going on a byte a second, each is closed when its time is up. */
	size_t open_ones = slow.size();
	bool body_answered = false;
	std::string bytes = "ET / HTTP/1.1\r\nX-Slow: ";
	for (size_t i = 0; open_ones > 0 || dribble >= 0; i++) {
		if (std::chrono::steady_clock::now() - opened >
		    std::chrono::seconds(30))
			break;
		std::this_thread::sleep_for(std::chrono::seconds(1));
		open_ones = 0;
		for (int &fd : slow) {
			if (fd < 0)
				continue;
			if (closed(fd)) {
				close(fd);
				fd = -1;
			} else {
				send_all(fd, std::string(1, bytes[i %
				    bytes.size()]));
				open_ones++;
			}
		}
		if (dribble >= 0 && closed(dribble)) {
			close(dribble);
			dribble = -1;
		} else if (dribble >= 0) {
			char c;
			body_answered |= recv(dribble, &c, 1, MSG_DONTWAIT) > 0;
			send_all(dribble, " ");
		}
	}
	EXPECT_EQ(open_ones, 0u) << "slow ones left open";
	EXPECT_EQ(dribble, -1) << "the slow body left open";
	EXPECT_FALSE(body_answered);
	for (int fd : slow)
		if (fd >= 0)
			close(fd);
	EXPECT_EQ(http(w, "GET", "/api/state").status, 200)
	    << "and this address is served again";
	EXPECT_EQ(doc("ts_temp"), "68") << "the cut-off body pressed nothing";
	EXPECT_EQ(w.stop(), 0);
}

/* Sends each request on a connection of its own, all before any answer. */
std::vector<int>
send_each(const Web &w, const std::vector<std::string> &requests)
{
	std::vector<int> fds;
	for (const std::string &t : requests) {
		int fd = dial(w.port);
		if (fd >= 0 && !send_all(fd, t)) {
			close(fd);
			fd = -1;
		}
		fds.push_back(fd);
	}
	return fds;
}

/* The answer on each (status -1 when none came), each closed. */
std::vector<Response>
answers(std::vector<int> &fds)
{
	std::vector<Response> rs;
	for (int &fd : fds) {
		std::string raw;
		rs.push_back(fd >= 0 ? answer(fd, raw) : Response());
		if (fd >= 0)
			close(fd);
		fd = -1;
	}
	return rs;
}

/* How many guesses the lines tell of, their counts added up. */
int
guesses_told(const std::string &log, const char *what, int *lines)
{
	std::istringstream err(log);
	std::string line;
	int told = 0;
	*lines = 0;
	while (std::getline(err, line)) {
		++*lines;
		if (line.find(what) == std::string::npos)
			continue;
		size_t n = line.find(" (");
		told += n != std::string::npos && line.find(" like this in ", n) !=
		    std::string::npos ? atoi(line.c_str() + n + 2) : 1;
	}
	return told;
}

/*
 * A guesser sharing the user's address (every local process on loopback)
 * never keeps the right token out: 140 wrong tokens at once, all answered
 * without holding a connection (the first "wrong token", those under its
 * penalty 429), and then 40 right ones at once are all served.
 */
TEST_F(WebTest, WrongTokensAreAnsweredAtOnceAndNeverLockTheRightOneOut)
{
	const std::string token = "0123456789abcdef-right";
	Web w(pps, { "--listen", "127.0.0.1:0" }, root.path, token.c_str());
	ASSERT_GT(w.port, 0) << w.line;
	const std::string bearer = "Authorization: Bearer " + token;
	kelvo.reset(new kt::Kelvo(pps, { state }, root.path));
	ASSERT_TRUE(kt::wait_for([&] { return http(w, "GET", "/api/state",
	    { bearer }).status == 200; }, 20));

	Response r = http(w, "GET", "/api/history");
	EXPECT_EQ(r.status, 401);
	EXPECT_EQ(r.j().value("error", ""), "a token is needed");

	std::vector<std::string> guesses;
	for (int i = 0; i < 140; i++)
		guesses.push_back(i == 7 ? request(w, "POST", "/api/press/up",
		    { "Authorization: Bearer guess", "Content-Type: "
		    "application/json" }, "{}") : request(w, "GET",
		    "/api/state?token=guess" + std::to_string(i)));
	/* The right ones come while the guesses are still in. */
	std::vector<int> fds = send_each(w, guesses);
	std::vector<int> right = send_each(w, std::vector<std::string>(40,
	    request(w, "GET", "/api/state", { bearer })));
	int served = 0;
	for (const Response &u : answers(right))
		served += u.status == 200 && u.j()["ts_temp"] == 68;
	EXPECT_EQ(served, 40) << "the right token, at once, every time";

	int wrong = 0, refused = 0;
	for (const Response &g : answers(fds)) {
		if (g.status == 401) {
			wrong++;
			EXPECT_EQ(g.j().value("error", ""), "wrong token");
			EXPECT_EQ(g.headers.at("www-authenticate"),
			    "Bearer error=\"invalid_token\"");
		} else if (g.status == 429) {
			refused++;
			EXPECT_EQ(g.j().value("error", ""),
			    "too many wrong tokens");
			int after = atoi(g.headers.count("retry-after") ?
			    g.headers.at("retry-after").c_str() : "0");
			EXPECT_TRUE(after >= 1 && after <= 10) << after;
		} else
			EXPECT_EQ(g.status, -1) << "only a guess gives way";
	}
	EXPECT_GE(wrong, 1);
	EXPECT_GE(refused, 1);

	/* Another address's count is its own; this one's penalty ends. */
	{
		From other("127.0.0.2");
		r = http(w, "GET", "/api/history?token=wrong");
		EXPECT_EQ(r.status, 401);
		EXPECT_EQ(r.j().value("error", ""), "wrong token");
	}
	int later = 0;
	EXPECT_TRUE(kt::wait_for([&] { later++; return http(w, "GET",
	    "/api/state?token=guess-later").status == 401; }, 15));
	EXPECT_EQ(http(w, "GET", "/api/state", { bearer }).status, 200);
	EXPECT_EQ(doc("ts_temp"), "68") << "no guess pressed anything";
	EXPECT_EQ(w.stop(), 0);

	/*
	 * A few lines, whose counts add up to every guess answered (and
	 * at most those given way to after they were read).
	 */
	std::string log = kt::read_file(root / "web.err");
	int lines = 0;
	int told = guesses_told(log, "a wrong token from 127.0.0.", &lines) +
	    guesses_told(log, "a further wrong token from 127.0.0.1", &lines);
	EXPECT_GE(told, wrong + refused + 1 + later) << log;
	EXPECT_LE(told, 140 + 1 + later) << log;
	EXPECT_LE(lines, 16) << log;
}

/*
 * 200 connections from the user's own address that say nothing or dribble
 * their headers give way to requests that come whole: 40 at once are all
 * answered, and so are 40 beside a crowd from many addresses that fills
 * the server; an event stream open before them all is not cut.
 */
TEST_F(WebTest, IdleAndSlowConnectionsGiveWayToWholeRequests)
{
	Web w(pps, { "--listen", "127.0.0.1:0" }, root.path);
	ASSERT_GT(w.port, 0) << w.line;
	start_kelvo(w);
	Stream stream(w);
	ASSERT_EQ(stream.head.status, 200);

	std::vector<int> slow;
	for (int i = 0; i < 200; i++) {
		int fd = dial(w.port);
		if (fd >= 0 && i % 2 == 1)
			send_all(fd, "G");
		slow.push_back(fd);
	}
	for (int round = 0; round < 3; round++) {
		/* A byte more from the dribbling ones, and no request whole. */
		for (size_t i = 1; i < slow.size(); i += 2)
			if (slow[i] >= 0)
				send_all(slow[i], "E");
		std::vector<int> users = send_each(w, std::vector<std::string>(40,
		    request(w, "GET", "/api/state")));
		int served = 0;
		for (const Response &u : answers(users))
			served += u.status == 200;
		EXPECT_EQ(served, 40) << "round " << round;
		/* The place of each that gave way is taken again. */
		for (int &fd : slow)
			if (fd < 0 || closed(fd)) {
				if (fd >= 0)
					close(fd);
				fd = dial(w.port);
			}
	}
	{
		From other("127.0.0.2");
		EXPECT_EQ(http(w, "GET", "/api/state").status, 200);
	}
	for (int fd : slow)
		if (fd >= 0)
			close(fd);
	slow.clear();

	/*
	 * 520 silent ones from five other addresses, each under its own
	 * limit but all of them over the server's: the oldest give way.
	 */
	const char *crowd[] = { "127.0.0.3", "127.0.0.4", "127.0.0.5",
	    "127.0.0.6", "127.0.0.7" };
	for (const char *addr : crowd) {
		From other(addr);
		for (int i = 0; i < 104; i++)
			slow.push_back(dial(w.port));
	}
	std::vector<int> users = send_each(w, std::vector<std::string>(40,
	    request(w, "GET", "/api/state")));
	int served = 0;
	for (const Response &u : answers(users))
		served += u.status == 200;
	EXPECT_EQ(served, 40) << "beside a crowd of many addresses";
	for (int fd : slow)
		if (fd >= 0)
			close(fd);

	/* The stream was answered all along: it still carries events. */
	EXPECT_EQ(api(w, "PUT", "/api/sim",
	    "{\"state\": \"paused\", \"td_time_\": \"0930\"}").status,
	    200);
	/* After those it carried while the crowd was there. */
	std::string shown = "?";
	for (int i = 0; i < 1000 && shown != "0930" && !shown.empty(); i++)
		shown = stream.next_named("state", 15).value("td_time_", "");
	EXPECT_EQ(shown, "0930");
	EXPECT_FALSE(stream.ended);
	EXPECT_EQ(w.stop(), 0);
}

} // namespace

namespace {

/*
 * Two faces on one PPS root pressing at once: they take turns at the
 * inputs object, so kelvo sees every press of both.
 */
TEST_F(WebTest, TwoFacesPressingAtOnceLoseNoPress)
{
	Web a(pps, { "--listen", "127.0.0.1:0" }, root.path);
	Web b(pps, { "--listen", "127.0.0.1:0" }, root.path);
	ASSERT_GT(a.port, 0);
	ASSERT_GT(b.port, 0);
	start_kelvo(a);
	ASSERT_TRUE(kt::wait_for([&] {
		return http(b, "GET", "/api/state").status == 200; }, 20));
	for (int round = 0; round < 20; round++) {
		std::string set = "PPS_ROOT=" + pps + " " KELVO_CTL_BIN
		    " set ts_temp=65";
		ASSERT_EQ(system(set.c_str()), 0);
		ASSERT_TRUE(kt::wait_for([&] {
			return http(a, "GET", "/api/state").j()["ts_temp"] == 65 &&
			    http(b, "GET", "/api/state").j()["ts_temp"] == 65;
		}));
		std::thread ta([&] { for (int i = 0; i < 10; i++)
			api(a, "POST", "/api/press/up"); });
		std::thread tb([&] { for (int i = 0; i < 10; i++)
			api(b, "POST", "/api/press/up"); });
		ta.join();
		tb.join();
		ASSERT_TRUE(kt::wait_for([&] { return doc("ts_temp") == "85"; },
		    20)) << "round " << round << ": " << doc("ts_temp");
		/* Both idle texts out: the next round starts clean. */
		ASSERT_TRUE(kt::wait_for([&] {
			return inputs().find("event") == std::string::npos; }, 5));
	}
}

/*
 * Two kelvo-ctl press and a kelvo-web pressing at once, the web's presses
 * bare calls (no body, no Content-Type): they take turns at the inputs
 * object, so kelvo sees every press of the three, and each kelvo-ctl
 * returns only once kelvo has shown its own.
 */
TEST_F(WebTest, KelvoCtlAndAWebPressingAtOnceLoseNoPress)
{
	Web w(pps, { "--listen", "127.0.0.1:0" }, root.path);
	ASSERT_GT(w.port, 0);
	start_kelvo(w);
	std::string ctl = "PPS_ROOT=" + pps + " " KELVO_CTL_BIN;
	for (int round = 0; round < 5; round++) {
		ASSERT_EQ(system((ctl + " set ts_temp=65").c_str()), 0);
		ASSERT_TRUE(kt::wait_for([&] {
			return http(w, "GET", "/api/state").j()["ts_temp"] == 65; }));
		int rc[2] = { -1, -1 };
		std::thread t0([&] {
			rc[0] = system((ctl + " press up 5").c_str()); });
		std::thread t1([&] {
			rc[1] = system((ctl + " press down 2").c_str()); });
		for (int i = 0; i < 10; i++)
			EXPECT_EQ(http(w, "POST", "/api/press/up").status, 202);
		t0.join();
		t1.join();
		for (int r : rc)
			EXPECT_TRUE(WIFEXITED(r) && WEXITSTATUS(r) == 0) << r;
		ASSERT_TRUE(kt::wait_for([&] { return doc("ts_temp") == "78"; },
		    20)) << "round " << round << ": " << doc("ts_temp");
		ASSERT_TRUE(kt::wait_for([&] {
			return inputs().find("event") == std::string::npos; }, 5));
	}
}

/* A kelvo that keeps its own long period is running all along. */
TEST_F(WebTest, ASlowKelvoNeverFlaps)
{
	for (int ms : { 5000, 60000 }) {
		Web w(pps, { "--listen", "127.0.0.1:0" }, root.path);
		ASSERT_GT(w.port, 0);
		start_kelvo(w);
		std::string speed = "PPS_ROOT=" + pps + " " KELVO_CTL_BIN
		    " speed 2 " + std::to_string(ms);
		ASSERT_EQ(system(speed.c_str()), 0);
		Stream s(w);
		s.next_named("status");
		/* Long enough for several silences of the usual 3 s. */
		auto end = std::chrono::steady_clock::now() +
		    std::chrono::seconds(12);
		while (std::chrono::steady_clock::now() < end) {
			ASSERT_EQ(http(w, "GET", "/api/state").status, 200) << ms;
			std::this_thread::sleep_for(std::chrono::milliseconds(500));
		}
		EXPECT_EQ(api(w, "POST", "/api/press/up").status, 202);
		kelvo->kill_hard();
		ASSERT_EQ(w.stop(), 0);
		ASSERT_EQ(system(("rm -f " + state + "/kelvoweb.xml").c_str()), 0);
	}
}

} // namespace

namespace {

/* kelvo started again while a batch waits: not taken, and said so. */
TEST_F(WebTest, ASimBatchWaitingThroughARestartIsNotTaken)
{
	Web w(pps, { "--listen", "127.0.0.1:0" }, root.path);
	ASSERT_GT(w.port, 0);
	start_kelvo(w);
	ASSERT_EQ(api(w, "PUT", "/api/sim", "{\"ts_fan\": \"ON\"}").status, 200);
	ASSERT_TRUE(kt::stop_process(kelvo->pid));
	Response r;
	std::thread put([&] {
		r = api(w, "PUT", "/api/sim", "{\"ts_temp\": 85}"); });
	EXPECT_TRUE(kt::wait_for([&] {
		return kt::read_file(pps + "/kelvo/control").find("ts_temp::85") !=
		    std::string::npos; }));
	kill(kelvo->pid, SIGKILL);
	kelvo->wait_exit();
	start_kelvo(w);
	put.join();
	/* 504 only when kelvo came back after the 2 s were over. */
	EXPECT_TRUE(r.status == 503 || r.status == 504) << r.status << r.body;
	if (r.status == 503) {
		EXPECT_NE(r.body.find("started again"), std::string::npos);
	}
	EXPECT_EQ(doc("ts_temp"), "68");
}

} // namespace
