#include "SMCBackend.h"
#include "applesmc/Discovery.h"
#include "emulator/EmulatorBackend.h"
#include "emulator/EmulatorSocket.h"

std::shared_ptr<const SMCService> findSMCService() {
    if (std::string socket = emulator::socketPath(); !socket.empty())
        return std::make_shared<emulator::EmulatorService>(std::move(socket));
    if (auto where = findAppleSMCDriver()) return std::make_shared<AppleSMCService>(*where);
    return nullptr;
}
