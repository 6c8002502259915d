#include <CLI/CLI.hpp>
#include <cstdio>

int main(int argc, char** argv) {
    CLI::App app{"tessel: in-application programming of Norvik51 microcontrollers"};
    app.set_version_flag("--version", std::string("tessel ") + TESSEL_VERSION);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
