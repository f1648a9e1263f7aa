/*
 * http.cpp - /metrics (Prometheus's text format) and /healthz, on a
 * socket in the main epoll loop.
 *
 * A scrape is one small request and one small answer, so there is no
 * HTTP library and no thread: a request is read until its blank line (at
 * most HTTP_REQUEST_MAX bytes, a few clients at a time), answered with
 * the whole body and closed.  Anything else gets 404, 405 or 400.
 */
#include "fleet.h"

#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>

#define HTTP_REQUEST_MAX	2048
#define HTTP_CLIENTS_MAX	32

#define EV_LISTEN	2ULL
#define EV_CLIENT	3ULL

static int listen_fd = -1, ep = -1;
static std::map<int, std::string> clients;

int
http_start(const char *host, int port, int epfd, std::string *why)
{
	struct addrinfo hints, *res = NULL;
	struct epoll_event ev;
	char ports[16];
	int one = 1, rc;

	ep = epfd;
	memset(&hints, 0, sizeof(hints));
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
	snprintf(ports, sizeof(ports), "%d", port);
	if ((rc = getaddrinfo(host, ports, &hints, &res)) != 0) {
		*why = gai_strerror(rc);
		return -1;
	}
	listen_fd = socket(res->ai_family, SOCK_STREAM | SOCK_NONBLOCK |
	    SOCK_CLOEXEC, 0);
	if (listen_fd < 0 || setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR,
	    &one, sizeof(one)) < 0 || bind(listen_fd, res->ai_addr,
	    res->ai_addrlen) < 0 || listen(listen_fd, 16) < 0) {
		*why = strerror(errno);
		freeaddrinfo(res);
		if (listen_fd >= 0)
			close(listen_fd);
		return -1;
	}
	freeaddrinfo(res);
	memset(&ev, 0, sizeof(ev));
	ev.events = EPOLLIN;
	ev.data.u64 = EV_LISTEN << 32 | (uint32_t)listen_fd;
	epoll_ctl(ep, EPOLL_CTL_ADD, listen_fd, &ev);
	return listen_fd;
}

static std::string
metrics(void)
{
	struct net_counts nc;
	struct store_counts sc;
	static const int plants[] = { PLANT_HEATING, PLANT_COOLING, PLANT_FAN,
	    PLANT_IDLE, PLANT_OFF, PLANT_NONE };
	int by[6] = { 0 };
	char line[1024];
	std::string m;

	net_counts(&nc);
	store_counts(&sc);
	for (const auto &t : fleet) {
		int p = kc_plant(t.w.mode, t.w.running ? SYS_ON : SYS_OFF,
		    t.w.fan);
		by[p >= 0 && p < 6 ? p : 0]++;
	}
	m += "# HELP kelvo_fleet_thermostats Thermostats by the plant's "
	    "action.\n# TYPE kelvo_fleet_thermostats gauge\n";
	for (int p : plants) {
		const char *name = kc_plant_name(p);
		snprintf(line, sizeof(line), "kelvo_fleet_thermostats{plant=\"%s"
		    "\"} %d\n", name != NULL ? name : "unknown", by[p]);
		m += line;
	}
	snprintf(line, sizeof(line),
	    "# TYPE kelvo_fleet_connections gauge\n"
	    "kelvo_fleet_connections{state=\"up\"} %d\n"
	    "kelvo_fleet_connections{state=\"down\"} %d\n", nc.up, nc.down);
	m += line;
	snprintf(line, sizeof(line),
	    "# TYPE kelvo_fleet_publishes_total counter\n"
	    "kelvo_fleet_publishes_total %lu\n"
	    "# TYPE kelvo_fleet_commands_total counter\n"
	    "kelvo_fleet_commands_total %lu\n"
	    "# TYPE kelvo_fleet_commands_refused_total counter\n"
	    "kelvo_fleet_commands_refused_total %lu\n",
	    nc.publishes, nc.commands, nc.refused);
	m += line;
	snprintf(line, sizeof(line),
	    "# TYPE kelvo_fleet_publishes_per_second gauge\n"
	    "kelvo_fleet_publishes_per_second %lu\n"
	    "# TYPE kelvo_fleet_commands_per_second gauge\n"
	    "kelvo_fleet_commands_per_second %lu\n",
	    fleet_rate(0), fleet_rate(1));
	m += line;
	snprintf(line, sizeof(line),
	    "# TYPE kelvo_fleet_store_saves_total counter\n"
	    "kelvo_fleet_store_saves_total %lu\n"
	    "# TYPE kelvo_fleet_store_rows_total counter\n"
	    "kelvo_fleet_store_rows_total %lu\n"
	    "# TYPE kelvo_fleet_store_save_seconds gauge\n"
	    "kelvo_fleet_store_save_seconds %.3f\n"
	    "# TYPE kelvo_fleet_store_save_seconds_total counter\n"
	    "kelvo_fleet_store_save_seconds_total %.3f\n",
	    sc.saves, sc.rows, sc.last_ms / 1000.0, sc.total_ms / 1000.0);
	m += line;
	snprintf(line, sizeof(line),
	    "# TYPE kelvo_fleet_tick_lag_seconds gauge\n"
	    "kelvo_fleet_tick_lag_seconds %.3f\n", fleet_lag() / 1000.0);
	m += line;
	return m;
}

static void
answer(int fd, const std::string &req)
{
	std::string status = "200 OK", type = "text/plain; version=0.0.4",
	    body;
	size_t sp = req.find(' '), sp2 = req.find(' ', sp + 1);
	std::string method = req.substr(0, sp), path = sp == std::string::npos
	    || sp2 == std::string::npos ? "" : req.substr(sp + 1, sp2 - sp - 1);

	if (path.empty()) {
		status = "400 Bad Request";
		body = "bad request\n";
	} else if (method != "GET" && method != "HEAD") {
		status = "405 Method Not Allowed";
		body = "only GET\n";
	} else if (path == "/metrics")
		body = metrics();
	else if (path == "/healthz") {
		type = "text/plain";
		body = "ok\n";
	} else {
		status = "404 Not Found";
		body = "not found\n";
	}
	std::string out = "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
	    "\r\nContent-Length: " + std::to_string(body.size()) +
	    "\r\nConnection: close\r\n\r\n" + (method == "HEAD" ? "" : body);
	/* Small: the socket's buffer takes it; a slow reader loses it. */
	if (write(fd, out.data(), out.size()) < 0)
		return;
}

static void
drop(int fd)
{
	epoll_ctl(ep, EPOLL_CTL_DEL, fd, NULL);
	close(fd);
	clients.erase(fd);
}

void
http_event(int fd, uint32_t events)
{
	struct epoll_event ev;
	char buf[1024];
	ssize_t n;

	if (fd == listen_fd) {
		int c = accept4(listen_fd, NULL, NULL, SOCK_NONBLOCK |
		    SOCK_CLOEXEC);
		if (c < 0)
			return;
		if (clients.size() >= HTTP_CLIENTS_MAX) {
			close(c);
			return;
		}
		memset(&ev, 0, sizeof(ev));
		ev.events = EPOLLIN;
		ev.data.u64 = EV_CLIENT << 32 | (uint32_t)c;
		epoll_ctl(ep, EPOLL_CTL_ADD, c, &ev);
		clients[c];
		return;
	}
	if (clients.find(fd) == clients.end())
		return;
	std::string &req = clients[fd];
	n = read(fd, buf, sizeof(buf));
	if (n <= 0 || (events & (EPOLLERR | EPOLLHUP))) {
		if (n < 0 && errno == EAGAIN)
			return;
		drop(fd);
		return;
	}
	req.append(buf, (size_t)n);
	if (req.find("\r\n\r\n") != std::string::npos ||
	    req.find("\n\n") != std::string::npos ||
	    req.size() >= HTTP_REQUEST_MAX) {
		answer(fd, req);
		drop(fd);
	}
}
