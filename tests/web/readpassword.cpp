// Prints the session password stored in a VNC password file (8 bytes, DES under the fixed VNC
// key), so that the browser test can log in as the supporter the helped person told it to.
#include "credentials/des.h"
#include "credentials/vncpasswordfile.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: velmora_test_readpassword FILE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() != 8) {
        std::fprintf(stderr, "%s: expected 8 bytes, got %zu\n", argv[1], bytes.size());
        return 1;
    }
    unsigned char block[8];
    credentials::des::setKey(credentials::vncPasswordKey, credentials::des::Decrypt);
    credentials::des::transform(reinterpret_cast<const unsigned char *>(bytes.data()), block);
    std::string password;
    for (const unsigned char c : block) {
        if (c == 0)
            break;
        password.push_back(char(c));
    }
    std::printf("%s\n", password.c_str());
    return 0;
}
