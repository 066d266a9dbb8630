// Registers the scan FLOAT onto the scan FIX with the library's defaults and says whether the result
// can be trusted: what velm-register does, as a library call.
#include "velm/Pipeline/RegisterPair.h"

#include <exception>
#include <iostream>

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        std::cerr << "usage: register_pair FIX.ply FLOAT.ply (coordinates in metres)\n";
        return 1;
    }
    try
    {
        Pipeline::SScanOptions units;
        units.strUnits = "m"; // the engine works in millimetres; results come back in the files' units
        const auto fix = Pipeline::LoadScan(argv[1], units);
        const auto flt = Pipeline::LoadScan(argv[2], units);

        Pipeline::SRegisterOptions options; // start: the identity; settings: the defaults derived from FIX
        // options.mStart = start;          // a rough alignment of FLOAT onto FIX (p maps to p * start)
        // options.config = Pipeline::DefaultConfig(*fix);
        // options.config->dMaxResidualRatio = 5.0;
        const Pipeline::SPairResult result = Pipeline::RegisterPair(*fix, *flt, options);

        std::cout << "state: " << result.GetStateName() << "\n" << result.strVerdict << "\n";
        const CbMatrix4Rd& m = result.mTransformation; // p maps to p * m: translation in e12..e14
        std::cout << "translation (m): " << m.e[12] << " " << m.e[13] << " " << m.e[14] << "\n";
        std::cout << result.ToRecord().ToJson(2) << "\n"; // everything, as velm-register --output writes it
        return result.GetSuccess() ? 0 : 2;
    }
    catch (const std::exception& e)
    {
        std::cerr << "register_pair: " << e.what() << "\n";
        return 1;
    }
}
