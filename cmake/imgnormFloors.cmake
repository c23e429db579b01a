# The library's floors, lowest first.  Each floor is one object library; a
# floor's files may include headers of their own floor and of the floors
# below it, never of a floor above.  These lists are the only place that
# says which file belongs where: the build compiles from them, and the
# include check (scripts/check_floors.py) reads them from the file that the
# configure step writes (<build>/imgnorm_floors.txt).  A new source or header
# is added to the list of its floor; a file in none fails the check.
#
#   base     plumbing: pixel buffers and their elementary operations, the
#            archive, exceptions and persistence, strings, diagnostics, the
#            instruction-set dispatch.  mxHistoStats sits here because
#            mfPelMoments (mxPelOps.h) returns one; it needs nothing itself.
#   imaging  image processing on top of the buffers: Gaussian sub-sampling,
#            median, affine sampling and projection, line fitting, threshold.
#   pelfunc  the exported pixel functions mf_...
#   tool     the normalizer, its methods, errors and tool file.
set(IMGNORM_FLOORS base imaging pelfunc tool)

set(IMGNORM_FLOOR_base
  baseif/cpuDispatch.cpp
  baseif/mx2Xform.cpp
  baseif/mxArchive.cpp
  baseif/mxDiag.cpp
  baseif/mxException.cpp
  baseif/mxHistoStats.cpp
  baseif/mxPelBuffer.cpp
  baseif/mxPelOps.cpp
  baseif/mxPersistent.cpp
  baseif/mxStr.cpp
  baseif/pelKernels.cpp
  baseif/mx2Xform.h
  baseif/mxArchive.h
  baseif/mxCpuLevel.h
  baseif/mxDiag.h
  baseif/mxException.h
  baseif/mxExport.h
  baseif/mxHistoStats.h
  baseif/mxHtmlEscape.h
  baseif/mxPair.h
  baseif/mxPelBuffer.h
  baseif/mxPelOps.h
  baseif/mxPersistent.h
  baseif/mxRectangle.h
  baseif/mxStr.h
  baseif/mxVector.h
  baseif/detail/cpuDispatch.h
  baseif/detail/pelKernels.h)

set(IMGNORM_FLOOR_imaging
  baseif/mxAffine.cpp
  baseif/mxGaussSample.cpp
  baseif/mxLineFit.cpp
  baseif/mxPelMedian.cpp
  baseif/mxProject.cpp
  baseif/mxThreshold.cpp
  baseif/pelMedianAvx2.cpp
  baseif/pelMedianAvx512.cpp
  baseif/mxAffine.h
  baseif/mxGaussSample.h
  baseif/mxLineFit.h
  baseif/mxPelMedian.h
  baseif/mxProject.h
  baseif/mxThreshold.h
  baseif/detail/affineKernels.h
  baseif/detail/gaussRows.h
  baseif/detail/bandMedian.h
  baseif/detail/deepBandMedian.h
  baseif/detail/deepMedianEngine.h
  baseif/detail/medianCounts256.h
  baseif/detail/medianEngine.h
  baseif/detail/pelMedian.h)

set(IMGNORM_FLOOR_pelfunc
  pelfunc/mf_MaskedPel.cpp
  pelfunc/mf_Neighborhood.cpp
  pelfunc/mf_PelArithmetic.cpp
  pelfunc/mf_PelBufferEqual.cpp
  pelfunc/mf_Region.cpp
  pelfunc/mf_MaskedPel.h
  pelfunc/mf_Neighborhood.h
  pelfunc/mf_PelArithmetic.h
  pelfunc/mf_PelBufferEqual.h
  pelfunc/mf_Region.h
  pelfunc/detail/borderPixels.h
  pelfunc/detail/floodQueue.h)

set(IMGNORM_FLOOR_tool
  imgnorm/diagRecords.cpp
  imgnorm/globalMapping.cpp
  imgnorm/imgnorm.cpp
  imgnorm/linearFit.cpp
  imgnorm/localCorrection.cpp
  imgnorm/localGain.cpp
  imgnorm/mxBlockNormalizer.cpp
  imgnorm/mxColorNormalizer.cpp
  imgnorm/mxImageNormalizer.cpp
  imgnorm/mxImageNormalizer16.cpp
  imgnorm/mxImageNormalizerErrors.cpp
  imgnorm/mxNormalizerMembers.cpp
  imgnorm/mxToolFile.cpp
  imgnorm/checks.h
  imgnorm/diagRecords.h
  imgnorm/globalMapping.h
  imgnorm/linearFit.h
  imgnorm/localCorrection.h
  imgnorm/localGain.h
  imgnorm/methods.h
  imgnorm/mxBlockNormalizer.h
  imgnorm/mxColorNormalizer.h
  imgnorm/mxImageNormalizer.h
  imgnorm/mxImageNormalizer16.h
  imgnorm/mxImageNormalizerDefs.h
  imgnorm/mxImageNormalizerErrors.h
  imgnorm/mxNormalizerMembers.h
  imgnorm/mxToolFile.h
  imgnorm.h)
