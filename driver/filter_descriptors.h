#pragma once
// The receiver filter's descriptor and BDA template, handed to the filter factory at start.
#include "platform/ks.h"

const KSFILTER_DESCRIPTOR* ReceiverFilterDescriptor();
const BDA_FILTER_TEMPLATE* ReceiverBdaTemplate();
