#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "cli/report.h"

// The report module's one exported symbol, called by the executable after dlopen.
extern "C" __attribute__((visibility("default"))) int quillon_report_main(int argc, char** argv) {
    // Clock times follow the user's locale; numbers keep the decimal point.
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");
    const auto command = quillon::cli::parseCommand(std::vector<std::string>(argv, argv + argc));
    return quillon::cli::writeReport(command, std::cout);
}
