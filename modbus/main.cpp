// quon-modbus: a running QUON as a Modbus TCP server. Its ports' bits are
// discrete inputs, its flag banks coils, its threads' loop counts input
// registers (the map is in map.h); with --writable a coil write sets a flag
// bit and a write of holding register 0 types a key.
//
//   quon-modbus [--listen=ADDR:PORT] [--allow-from=CIDR,...] [--writable] [PID]
//
// Statuses: 0 the run ended, 1 nothing to attach to or no listening
// socket, 2 a bad command line (a listening address other than loopback
// without --allow-from among them).
#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "modbus/map.h"
#include "monitor/attach.h"
#include "monitor/commandline.h"

namespace {

struct ModbusChoices {
  int pid = 0;
  uint32_t address = 0x7F000001;  // 127.0.0.1
  int port = 5020;
  std::string listen = "127.0.0.1:5020";
  std::vector<Cidr> allowed;
  bool writable = false, help = false, version = false;
};

std::string listening(const char *v, ModbusChoices *c) { return readlisten(c->listen = v, &c->address, &c->port); }
std::string allowfrom(const char *v, ModbusChoices *c) { return readcidrs(v, &c->allowed); }
std::string writable(const char *, ModbusChoices *c) { return c->writable = true, ""; }
std::string help(const char *, ModbusChoices *c) { return c->help = true, ""; }
std::string version(const char *, ModbusChoices *c) { return c->version = true, ""; }

const Option<ModbusChoices> OPTIONS[] = {
    {{"--listen", "ADDR:PORT", false, false}, listening},
    {{"--allow-from", "CIDR[,CIDR...]", false, false}, allowfrom},
    {{"--writable", nullptr, false, false}, writable},
    {{"--help", nullptr, false, true}, help},
    {{"--version", nullptr, false, true}, version},
};

ModbusChoices readarguments(int argc, char **argv) {
  ModbusChoices c;
  readoptions("quon-modbus", USAGE_BRACKETED, OPTIONS, argc, argv, &c);
  if (!c.help && !c.version && !loopback(c.address) && c.allowed.empty()) {
    usage("listening on " + c.listen + " (not loopback) needs --allow-from=CIDR: Modbus has no login");
  }
  return c;
}

constexpr size_t CLIENTS = 16;  // connections served at once; more are closed
constexpr int POLLMS = 100;     // how soon the end of the run is seen

// The map's current values for a request the map answers.
void fill(modbus_mapping_t *map, const Snapshot &s, const uint8_t *pdu) {
  int first = pdu[1] << 8 | pdu[2], count = pdu[3] << 8 | pdu[4];
  switch (pdu[0]) {
    case FN_READ_DISCRETE:
      for (int d = first; d < first + count; ++d) map->tab_input_bits[d] = discreteinput(s, d);
      break;
    case FN_READ_COILS:
      for (int d = first; d < first + count; ++d) map->tab_bits[d] = coil(s, d);
      break;
    case FN_READ_INPUT:
      for (int d = first; d < first + count; ++d) map->tab_input_registers[d] = inputregister(s, d);
      break;
    case FN_READ_HOLDING: map->tab_registers[0] = s.head.lastkey; break;
    default: break;
  }
}

// Carries out a write the map accepted; "" or why the run could not take it.
std::string act(Attached &a, const uint8_t *pdu, size_t length) {
  std::string why;
  if (pdu[0] == FN_WRITE_COIL || pdu[0] == FN_WRITE_COILS) {
    for (const auto &p : coilpatterns(pdu, length)) {
      if (setflags(a, p.first, p.second, &why) != 0) return why;
    }
  } else if (pdu[0] == FN_WRITE_REGISTER || pdu[0] == FN_WRITE_REGISTERS) {
    if (typekeys(a, std::string(1, registerkey(pdu, length)), &why) != 0) return why;
  }
  return why;
}

// Serves one request of the client on ctx's socket; false when the
// connection is to be closed.
bool serve(modbus_t *ctx, modbus_mapping_t *map, Attached &a, const ModbusChoices &c) {
  uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  int n = modbus_receive(ctx, query);
  if (n <= 0) return n == 0;
  int header = modbus_get_header_length(ctx);
  // A frame whose protocol identifier is not Modbus's (0) is no Modbus
  // client's: the connection is closed unanswered.
  if (n <= header || query[2] != 0 || query[3] != 0) return false;
  const uint8_t *pdu = query + header;
  size_t length = static_cast<size_t>(n - header);
  Snapshot s;
  if (!snapshot(a, &s)) return modbus_reply_exception(ctx, query, EX_FAILURE) >= 0;
  MapShape shape{s.head.flagbanks, static_cast<uint32_t>(s.threads.size() < REGISTER_SPAN ? s.threads.size()
                                                                                          : REGISTER_SPAN)};
  int refusal = checkrequest(pdu, length, shape, c.writable);
  bool write = pdu[0] == FN_WRITE_COIL || pdu[0] == FN_WRITE_COILS || pdu[0] == FN_WRITE_REGISTER ||
               pdu[0] == FN_WRITE_REGISTERS;
  if (refusal == 0 && write) {
    std::string why = act(a, pdu, length);
    if (!why.empty()) {
      fprintf(stderr, "quon-modbus: a write was not taken: %s\n", why.c_str());
      refusal = EX_FAILURE;
    }
  }
  if (refusal != 0) return modbus_reply_exception(ctx, query, static_cast<unsigned>(refusal)) >= 0;
  fill(map, s, pdu);
  return modbus_reply(ctx, query, n, map) >= 0;
}

}  // namespace

int main(int argc, char **argv) {
  ModbusChoices c = readarguments(argc, argv);
  leaveifasked(c.help, c.version, QUON_IDENTITY);
  Attached a;
  std::string why;
  if (attach(c.pid, &a, &why) != 0) fail("%s", why.c_str());
  catchstops(false);

  in_addr address{htonl(c.address)};
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  modbus_t *ctx = modbus_new_tcp(text, c.port);
  modbus_mapping_t *map = modbus_mapping_new(COIL_SPAN, DISCRETE_SPAN, 1, REGISTER_SPAN);
  if (ctx == nullptr || map == nullptr) fail("cannot make the Modbus server: %s", modbus_strerror(errno));
  // A client that stops inside a request holds the server no longer than this.
  modbus_set_indication_timeout(ctx, 1, 0);
  int server = modbus_tcp_listen(ctx, 8);
  if (server < 0) fail("cannot listen on %s: %s", c.listen.c_str(), modbus_strerror(errno));
  fcntl(server, F_SETFD, FD_CLOEXEC);

  std::vector<pollfd> fds{{server, POLLIN, 0}};
  int status = 0;
  while (!stopasked()) {
    Snapshot s;
    if (a.lost || (snapshot(a, &s) && !running(a, s))) break;
    if (poll(fds.data(), fds.size(), POLLMS) < 0 && errno != EINTR) {
      fprintf(stderr, "quon-modbus: %s\n", strerror(errno));
      status = 1;
      break;
    }
    for (size_t i = fds.size(); i-- > 1;) {
      if (fds[i].revents == 0) continue;
      modbus_set_socket(ctx, fds[i].fd);
      if ((fds[i].revents & POLLIN) && serve(ctx, map, a, c)) continue;
      close(fds[i].fd);
      fds.erase(fds.begin() + static_cast<long>(i));
    }
    if (fds[0].revents & POLLIN) {
      sockaddr_in peer{};
      socklen_t size = sizeof peer;
      int client = accept4(server, reinterpret_cast<sockaddr *>(&peer), &size, SOCK_CLOEXEC);
      // Whoever the rules do not name is closed unanswered.
      if (client >= 0 && (peer.sin_family != AF_INET || !answered(ntohl(peer.sin_addr.s_addr), c.allowed) ||
                          fds.size() > CLIENTS)) {
        close(client);
      } else if (client >= 0) {
        fds.push_back({client, POLLIN, 0});
      }
    }
  }
  for (const pollfd &p : fds) close(p.fd);
  modbus_set_socket(ctx, -1);
  modbus_mapping_free(map);
  modbus_free(ctx);
  detach(&a);
  return status;
}
