#include "app/DataLoggerDaemon.h"

int main(int argc, char** argv) {
    int status = 0;
    {
        quorix::pelmo::datalogger::DataLoggerDaemon daemon(argc, argv);
        status = daemon.run();
    }
    return status;
}
