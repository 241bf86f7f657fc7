// gateway-sim: a gateway peer for tests, demos and benchmarks (see --help).
#include <cstdio>
#include <utility>

#include "TOOLS/gateway-sim/simoptions.h"
#include "TOOLS/gateway-sim/simpeer.h"

int main(int argc, char** argv) {
    bool helpShown = false;
    std::optional<SimOptions> options = ParseSimOptions(argc, argv, helpShown);
    if (!options) {
        return helpShown ? 0 : 2;
    }
    GatewayPeer peer(std::move(*options));
    if (!peer.Open()) {
        return 1;
    }
    return peer.Run();
}
