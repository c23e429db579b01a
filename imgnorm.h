// imgnorm: grey-level normalization of 8-bit images.
// Including this header gives a client the whole public API.
#pragma once

#include "baseif/mx2Xform.h"
#include "baseif/mxArchive.h"
#include "baseif/mxException.h"
#include "baseif/mxPair.h"
#include "baseif/mxPelBuffer.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxPersistent.h"
#include "baseif/mxRectangle.h"
#include "baseif/mxStr.h"
#include "baseif/mxVector.h"
