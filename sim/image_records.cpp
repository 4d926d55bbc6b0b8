// Indexing an image's records with the updater's own walk, so that the model and the load step
// agree on where every record starts.
#include "sim/image_records.h"

#include "download/image_format.h"

namespace sim {

ImageRecords::ImageRecords(std::span<const uint8_t> image) : image_(image) {
    image::WalkRecords(
        image.data(), static_cast<uint32_t>(image.size()),
        [](void* context, const image::RecordView& record) {
            static_cast<std::vector<RecordRef>*>(context)->push_back(
                {record.offset + image::kHeaderSize, record.length, record.direction,
                 record.stage});
        },
        &records_);
}

std::span<const uint8_t> ImageRecords::Payload(uint32_t number) const {
    const RecordRef& record = At(number);
    return image_.subspan(record.offset, record.length);
}

}  // namespace sim
