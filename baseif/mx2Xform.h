// Client coordinate transforms.  Every pixel buffer carries a shared handle to
// its client-from-image transform (and one to the inverse): a pel at image
// coordinates p lies at clientFromImage(p) in the client's coordinates (for
// example millimetres on a part).  Transforms are immutable once made, so
// buffers share them freely.
#pragma once

#include <memory>

#include "baseif/mxExport.h"
#include "baseif/mxVector.h"

class IMGNORM_API mx2XformBase {
public:
  virtual ~mx2XformBase();
  // Maps one point.
  virtual mxVector<2> mapPoint(const mxVector<2>& p) const = 0;
  // The inverse transform (a new object).
  virtual std::shared_ptr<const mx2XformBase> inverseBase() const = 0;
  // True when the transform is affine, i.e. fully described by linear().
  virtual bool isLinear() const = 0;
  // The affine form of the transform (exact when isLinear()).
  virtual mxXform<2> linear() const = 0;
};

// An affine client transform; default-constructed it is the identity.
class IMGNORM_API mx2XformLinear final : public mx2XformBase {
public:
  mx2XformLinear() = default;
  explicit mx2XformLinear(const mxXform<2>& x) : x_(x) {}
  ~mx2XformLinear() override;

  mxVector<2> mapPoint(const mxVector<2>& p) const override { return x_ * p; }
  std::shared_ptr<const mx2XformBase> inverseBase() const override;
  bool isLinear() const override { return true; }
  mxXform<2> linear() const override { return x_; }
  const mxXform<2>& xform() const { return x_; }

private:
  mxXform<2> x_;
};
