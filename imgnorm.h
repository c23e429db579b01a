// imgnorm: grey-level normalization of 8-bit images.
// Including this header gives a client the whole public API.
#pragma once

// Base layer: buffers, geometry, archive, exceptions, pel operations.
#include "baseif/mx2Xform.h"
#include "baseif/mxAffine.h"
#include "baseif/mxArchive.h"
#include "baseif/mxDiag.h"
#include "baseif/mxException.h"
#include "baseif/mxGaussSample.h"
#include "baseif/mxHistoStats.h"
#include "baseif/mxHtmlEscape.h"
#include "baseif/mxLineFit.h"
#include "baseif/mxPair.h"
#include "baseif/mxPelBuffer.h"
#include "baseif/mxPelMedian.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxPersistent.h"
#include "baseif/mxProject.h"
#include "baseif/mxRectangle.h"
#include "baseif/mxStr.h"
#include "baseif/mxThreshold.h"
#include "baseif/mxVector.h"

// Exported pixel functions.
#include "pelfunc/mf_MaskedPel.h"
#include "pelfunc/mf_Neighborhood.h"
#include "pelfunc/mf_PelArithmetic.h"
#include "pelfunc/mf_PelBufferEqual.h"
#include "pelfunc/mf_Region.h"

// The tool.
#include "imgnorm/checks.h"
#include "imgnorm/diagRecords.h"
#include "imgnorm/globalMapping.h"
#include "imgnorm/methods.h"
#include "imgnorm/mxBlockNormalizer.h"
#include "imgnorm/mxColorNormalizer.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"
#include "imgnorm/mxImageNormalizerDefs.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "imgnorm/mxNormalizerMembers.h"
#include "imgnorm/mxToolFile.h"
