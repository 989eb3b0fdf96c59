// Usage: dfrm_floor SOCKET /ROUTE=FILE... [--own-name NAME]
// The floor the DfRM figures are measured against: a FastCGI responder that reads each request
// (parameters and body) and writes back the bytes of FILE for its PATH_INFO, verbatim, on the
// same library and socket kind as the daemon. With --own-name it first owns NAME on the system
// bus, which makes it the floor of the daemon's start-up too.
#include <fcgiapp.h>
#include <gio/gio.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SOCKET /ROUTE=FILE... [--own-name NAME]\n", argv[0]);
        return 2;
    }
    std::map<std::string, std::string> answers;
    const char* busName = nullptr;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--own-name" && i + 1 < argc) {
            busName = argv[++i];
            continue;
        }
        const size_t eq = arg.find('=');
        std::ifstream file(arg.substr(eq + 1), std::ios::binary);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        answers[arg.substr(0, eq)] = bytes.str();
    }
    if (busName) {
        GError* error = nullptr;
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
        GVariant* reply =
            bus ? g_dbus_connection_call_sync(
                      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "RequestName", g_variant_new("(su)", busName, 4u), G_VARIANT_TYPE("(u)"),
                      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error)
                : nullptr;
        if (!reply) {
            std::fprintf(stderr, "dfrm_floor: %s\n", error->message);
            return 1;
        }
        g_variant_unref(reply);
    }
    FCGX_Init();
    const int socket = FCGX_OpenSocket(argv[1], 10);
    if (socket < 0) {
        std::fprintf(stderr, "dfrm_floor: cannot open %s\n", argv[1]);
        return 1;
    }
    chmod(argv[1], 0660);
    FCGX_Request request;
    FCGX_InitRequest(&request, socket, 0);
    std::string body;
    while (FCGX_Accept_r(&request) == 0) {
        const char* length = FCGX_GetParam("CONTENT_LENGTH", request.envp);
        body.resize(length ? std::strtoul(length, nullptr, 10) : 0);
        if (!body.empty()) FCGX_GetStr(&body[0], static_cast<int>(body.size()), request.in);
        const char* path = FCGX_GetParam("PATH_INFO", request.envp);
        const auto answer = answers.find(path ? path : "");
        if (answer != answers.end()) {
            FCGX_PutStr(answer->second.data(), static_cast<int>(answer->second.size()),
                        request.out);
        } else {
            FCGX_FPrintF(request.out, "Status: 404\r\n\r\n");
        }
        FCGX_Finish_r(&request);
    }
    return 0;
}
