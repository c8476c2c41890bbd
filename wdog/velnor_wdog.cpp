// velnor-wdog: started by velnor-bootstrap with the feeding pipe as its
// standard input. Arguments and environment are not read.
#include "common/os.h"
#include "wdog/watchdog_daemon.h"

int main() { os::exit(watchdog_daemon_main()); }
