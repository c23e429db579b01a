#include "baseif/mx2Xform.h"

mx2XformBase::~mx2XformBase() = default;
mx2XformLinear::~mx2XformLinear() = default;

std::shared_ptr<const mx2XformBase> mx2XformLinear::inverseBase() const {
  return std::make_shared<mx2XformLinear>(x_.inverse());
}
