#include "app/ApplicationShutdown.h"

#include "app/ViewController.h"

namespace malvo {

void shutDownApplication(ViewController& controller, platform::midi::Server* server,
                         platform::BackgroundJobs& jobs) {
    controller.stopTransfers();
    if (server) server->stop();
    jobs.joinAll();
}

} // namespace malvo
