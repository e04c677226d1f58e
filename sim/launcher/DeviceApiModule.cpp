#include "DeviceApiModule.h"

#include "ApiServer.h"
#include "TestAuthority.h"

namespace {

class Running : public sim::RunningApi {
  public:
    explicit Running(const sim::LiveDeviceApi& api) : server_(api, authority_) {}
    const std::string& authorityFile() const override { return authority_.certificateFile(); }
    int port() const override { return server_.port(); }
    std::vector<sim::SeenRequest> requests() const override { return server_.requests(); }

  private:
    TestAuthority authority_{"i2c-kestro-sim run authority"};
    sim::ApiServer server_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) sim::RunningApi* kestroSimStartApi(
    const sim::LiveDeviceApi& api) {
    return new Running(api);
}
