// The receiver filter's tables. The pin, node and topology tables are not built yet: until they
// are, start hands the factory empty tables.
#include "driver/filter_descriptors.h"

const KSFILTER_DESCRIPTOR* ReceiverFilterDescriptor() {
    return nullptr;
}

const BDA_FILTER_TEMPLATE* ReceiverBdaTemplate() {
    return nullptr;
}
