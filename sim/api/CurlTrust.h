#pragma once

#include <string>

// Every libcurl transfer of this process trusts exactly the certificates in this PEM file
// (the system store is left out). Until it is called, transfers run with libcurl's own defaults.
void trustCertificateFile(const std::string& path);
