#pragma once

// Everything a host needs: the facade, the model types, the interfaces it hands out, the
// exceptions it may catch and the meta-service interface it implements.
#include "tarn/client/Configurator.h"
#include "tarn/client/ConnectionException.h"
#include "tarn/client/ConnectionService.h"
#include "tarn/client/ConnectionType.h"
#include "tarn/client/Initializable.h"
#include "tarn/client/LoggingService.h"
#include "tarn/client/NatBehavior.h"
#include "tarn/client/NatInfo.h"
#include "tarn/client/NatMeasurement.h"
#include "tarn/client/NatType.h"
#include "tarn/client/NoUDPConnectionException.h"
#include "tarn/client/NotLocallyBoundException.h"
#include "tarn/client/Peer.h"
#include "tarn/client/TARNException.h"
#include "tarn/client/Topology.h"
#include "tarn/client/UninitializedException.h"
#include "tarn/lattice/ILatticeServiceClient.h"
#include "tarn/lattice/TARNWrapper.h"
