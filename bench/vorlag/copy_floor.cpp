// The floor for a compiler run: read the input file, write a file of a given
// size. Usage: bench_copy_floor <input> <output> <bytes>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    std::ifstream in(argv[1], std::ios::binary);
    const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t size = std::strtoul(argv[3], nullptr, 10);
    std::string out;
    out.reserve(size);
    while (out.size() < size && !input.empty())
        out.append(input, 0, std::min(input.size(), size - out.size()));
    out.resize(size, ' ');
    std::ofstream o(argv[2], std::ios::binary | std::ios::trunc);
    o.write(out.data(), static_cast<std::streamsize>(out.size()));
    return o ? 0 : 1;
}
