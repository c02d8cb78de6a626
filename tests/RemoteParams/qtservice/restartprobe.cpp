// paramserver's service object with user commands that end its event loop the
// ways an event handler can: 1 throws ForceRestartException, 2 a
// std::runtime_error, 3 ImmediateExitApplication. Everything else is the real
// program (no working-directory change: the test runs it in a folder of its
// own).

#include "exceptionstableapp.h"
#include "loghandler.h"
#include "receiverservice.h"

#include <stdexcept>

namespace {

class ProbeService : public ReceiverService
{
public:
    using ReceiverService::ReceiverService;

protected:
    void processCommand(int code) override
    {
        switch (code) {
        case 1:
            throw ForceRestartException("probe");
        case 2:
            throw std::runtime_error("probe");
        case 3:
            throw ImmediateExitApplication("probe");
        default:
            break;
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    ProbeService service(argc, argv);
    LogHandler::install();
    return service.exec();
}
