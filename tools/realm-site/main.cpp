// realm-site: serves a realm folder to its launchers, or exports it as static files.
#include <iostream>

#include "realm-site/cli.h"

int main(int argc, char** argv) { return vantrel::site::RunRealmSite(argc, argv, std::cout, std::cerr); }
