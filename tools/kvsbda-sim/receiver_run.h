#pragma once
// The receiver the commands of one command line share: a session on the simulated stick (driver
// loaded, stick plugged and started) and a BDA application on it with the receiver filter and its
// pins open, the pins stopped until a command runs them. Closing it closes the application,
// stops, removes and unplugs the stick.
#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "platform/host/bda_receiver_application.h"
#include "platform/host/receiver_private_properties.h"
#include "session.h"

namespace kvssim {

class ReceiverRun {
  public:
    explicit ReceiverRun(const GlobalOptions& options);
    ~ReceiverRun();
    ReceiverRun(const ReceiverRun&) = delete;
    ReceiverRun& operator=(const ReceiverRun&) = delete;

    // 0 when the receiver is open; else the exit status (2: the session could not be set up, 1:
    // the stick or the filter did not come up) with `error` set.
    int Open(std::string* error);
    // Closes everything (once) and returns the driver pool bytes still allocated.
    size_t Close();

    const GlobalOptions& Options() const { return options_; }
    Session& GetSession() { return *session_; }
    PKSDEVICE Device() { return device_; }
    host::BdaReceiverApplication& App() { return *app_; }
    host::ReceiverPrivateProperties& Private() { return *private_; }
    // The driver's debug lines collected for --json.
    std::vector<std::string>& Debug() { return debug_; }
    // The stream pipe's endpoint address (0 when the stick has none).
    UCHAR StreamEndpoint();
    // The frames the bridge received from BeginBridgeLog on (the simulator's view of the wire).
    void BeginBridgeLog();
    std::vector<std::vector<uint8_t>> BridgeLog();
    // Commands that have run on this receiver before the current one.
    size_t CommandsBefore() const { return commandsRun_; }
    void CommandDone() { ++commandsRun_; }

  private:
    GlobalOptions options_;
    std::vector<std::string> debug_;
    std::unique_ptr<Session> session_;
    PKSDEVICE device_ = nullptr;
    std::unique_ptr<host::BdaReceiverApplication> app_;
    std::unique_ptr<host::ReceiverPrivateProperties> private_;
    size_t commandsRun_ = 0;
    bool sessionOpen_ = false;
    bool closed_ = false;
};

}  // namespace kvssim
