#include "ReplyPayload.h"

#include <cstdlib>

#include "NorvaneI2cMaster.h"

ReplyPayload::~ReplyPayload() {
    std::free(data_);
}

int32_t ReplyPayload::receive(NorvaneI2cMaster& master) {
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    return master.receive(data_, size_);
}

bool ReplyPayload::beginsWithOk() const {
    return size_ >= 2 && data_[0] == 'O' && data_[1] == 'K';
}
