#include "DeviceApiServer.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

// libcurl would send loopback traffic through a proxy named in the environment.
void bypassProxies() {
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
}

std::string makeDirectory() {
    char pattern[] = "/tmp/kestro-api-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("device API server: no temporary directory");
    }
    return pattern;
}

std::string responsePath(const std::string& directory) {
    return directory + "/response";
}
std::string requestsPath(const std::string& directory) {
    return directory + "/requests";
}
std::string faultPath(const std::string& directory) {
    return directory + "/fault";
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// The answer file: the status on the first line, the content type on the second, then the body.
void writeResponse(const std::string& directory, int status, const std::string& body,
                   const std::string& contentType) {
    const std::string staged = responsePath(directory) + ".new";
    std::ofstream(staged, std::ios::binary) << status << '\n' << contentType << '\n' << body;
    std::rename(staged.c_str(), responsePath(directory).c_str());
}

void loadResponse(const std::string& directory, httplib::Response& response) {
    std::istringstream file(readFile(responsePath(directory)));
    std::string status;
    std::string contentType;
    std::getline(file, status);
    std::getline(file, contentType);
    std::ostringstream body;
    body << file.rdbuf();
    response.status = std::stoi(status);
    response.set_content(body.str(), contentType.c_str());
}

ApiFault loadFault(const std::string& directory) {
    const std::string text = readFile(faultPath(directory));
    return text.empty() ? ApiFault::None : static_cast<ApiFault>(std::stoi(text));
}

// Writes `piece` every `pauseUs` until the time is up or the client has gone.
httplib::ContentProviderWithoutLength repeat(std::string piece, useconds_t pauseUs) {
    return [piece, pauseUs](size_t, httplib::DataSink& sink) {
        const time_t end = time(nullptr) + kMisbehaviourSeconds;
        while (time(nullptr) < end) {
            usleep(pauseUs);
            if (!sink.write(piece.data(), piece.size())) {
                return false;
            }
        }
        sink.done();
        return true;
    };
}

// False when the request is to be answered as configured.
bool misbehave(ApiFault fault, httplib::Response& response) {
    constexpr size_t kFloodPiece = 64 * 1024;
    switch (fault) {
        case ApiFault::None:
            return false;
        case ApiFault::Silent:
            sleep(kMisbehaviourSeconds);
            return false;
        case ApiFault::TrickleSlowly:
            response.set_chunked_content_provider("application/json", repeat(" ", 2000000));
            return true;
        case ApiFault::TrickleForever:
            response.set_chunked_content_provider("application/json", repeat(" ", 50000));
            return true;
        case ApiFault::FloodForever:
            response.set_chunked_content_provider("application/json",
                                                  repeat(std::string(kFloodPiece, ' '), 10000));
            return true;
    }
    return false;
}

// One record: method, path, header count, then "name:value" per header, each on its own line;
// HTTP allows no line break in any of them. Appended with one write so records never interleave.
void appendRecord(const std::string& directory, const httplib::Request& request) {
    std::ostringstream record;
    record << request.method << '\n' << request.path << '\n' << request.headers.size() << '\n';
    for (const auto& [name, value] : request.headers) {
        record << name << ':' << value << '\n';
    }
    std::ofstream(requestsPath(directory), std::ios::binary | std::ios::app) << record.str();
}

std::vector<RecordedRequest> parseRecords(const std::string& text) {
    std::vector<RecordedRequest> requests;
    std::istringstream in(text);
    RecordedRequest request;
    std::string count;
    while (std::getline(in, request.method) && std::getline(in, request.path) &&
           std::getline(in, count)) {
        request.headers.clear();
        for (int i = std::stoi(count); i > 0; --i) {
            std::string line;
            std::getline(in, line);
            const size_t colon = line.find(':');
            request.headers.emplace_back(line.substr(0, colon), line.substr(colon + 1));
        }
        requests.push_back(request);
    }
    return requests;
}

[[noreturn]] void serve(const ServerIdentity& identity, const std::string& directory,
                        int readyPipe) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    httplib::SSLServer server(identity.certificate.get(), identity.key.get());
    server.set_tcp_nodelay(true);
    server.set_pre_routing_handler(
        [&directory](const httplib::Request& request, httplib::Response& response) {
            appendRecord(directory, request);
            if (!misbehave(loadFault(directory), response)) {
                loadResponse(directory, response);
            }
            return httplib::Server::HandlerResponse::Handled;
        });
    const int port = server.is_valid() ? server.bind_to_any_port("127.0.0.1") : -1;
    const bool announced = write(readyPipe, &port, sizeof(port)) == sizeof(port);
    close(readyPipe);
    if (announced && port > 0) {
        server.listen_after_bind();
    }
    _exit(0);
}

int awaitPort(int readyPipe) {
    int port = -1;
    const bool heard = read(readyPipe, &port, sizeof(port)) == sizeof(port);
    close(readyPipe);
    return heard ? port : -1;
}

}  // namespace

std::vector<std::string> RecordedRequest::headerValues(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) {
            values.push_back(value);
        }
    }
    return values;
}

DeviceApiServer::DeviceApiServer(const TestAuthority& authority)
    : _directory(makeDirectory()), _child(-1), _port(-1) {
    bypassProxies();
    respondWith(200, "[]");
    const ServerIdentity identity = authority.issueServerIdentity();
    int ready[2];
    if (pipe(ready) != 0) {
        throw std::runtime_error("device API server: no pipe");
    }
    _child = fork();
    if (_child == 0) {
        close(ready[0]);
        serve(identity, _directory, ready[1]);
    }
    close(ready[1]);
    _port = _child > 0 ? awaitPort(ready[0]) : -1;
    if (_port <= 0) {
        throw std::runtime_error("device API server: did not start on 127.0.0.1");
    }
}

DeviceApiServer::~DeviceApiServer() {
    if (_child > 0) {
        kill(_child, SIGKILL);
        waitpid(_child, nullptr, 0);
    }
    unlink(responsePath(_directory).c_str());
    unlink(requestsPath(_directory).c_str());
    unlink(faultPath(_directory).c_str());
    rmdir(_directory.c_str());
}

std::string DeviceApiServer::endpoint() const {
    return "127.0.0.1:" + std::to_string(_port);
}

void DeviceApiServer::respondWith(int status, const std::string& body,
                                  const std::string& contentType) {
    writeResponse(_directory, status, body, contentType);
}

std::vector<RecordedRequest> DeviceApiServer::requests() const {
    return parseRecords(readFile(requestsPath(_directory)));
}

void DeviceApiServer::misbehave(ApiFault fault) {
    std::ofstream(faultPath(_directory)) << static_cast<int>(fault);
}

SilentListener::SilentListener() : _child(-1), _port(0) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("silent listener: cannot listen on 127.0.0.1");
    }
    _port = ntohs(address.sin_port);
    _child = fork();
    if (_child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        sleep(kMisbehaviourSeconds);
        _exit(0);
    }
    close(listener);
}

SilentListener::~SilentListener() {
    if (_child > 0) {
        kill(_child, SIGKILL);
        waitpid(_child, nullptr, 0);
    }
}

std::string SilentListener::endpoint() const {
    return "127.0.0.1:" + std::to_string(_port);
}

RefusingPort::RefusingPort() : _socket(socket(AF_INET, SOCK_STREAM, 0)), _port(0) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (_socket < 0 || bind(_socket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("refusing port: cannot bind 127.0.0.1");
    }
    _port = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() {
    close(_socket);
}

std::string RefusingPort::endpoint() const {
    return "127.0.0.1:" + std::to_string(_port);
}
