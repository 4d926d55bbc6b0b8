// Indexing an image's records.
#include "sim/image_records.h"

#include "download/image_format.h"

namespace sim {

ImageRecords::ImageRecords(std::span<const uint8_t> image) : image_(image) {
    const size_t size = image.size();
    size_t offset = 0;
    while (offset < size) {
        if (size - offset < image::kHeaderSize) {
            complete_ = false;
            return;
        }
        const uint8_t* header = image.data() + offset;
        RecordRef record;
        record.offset = static_cast<uint32_t>(offset + image::kHeaderSize);
        record.length = image::RecordLength(header);
        record.direction = header[image::kDirectionOffset];
        record.stage = header[image::kStageOffset];
        const bool known =
            record.direction == image::kDirectionRead || record.direction == image::kDirectionWrite;
        if (!known || record.length > size - record.offset) {
            complete_ = false;
            return;
        }
        records_.push_back(record);
        offset = size_t{record.offset} + record.length;
    }
}

std::span<const uint8_t> ImageRecords::Payload(uint32_t number) const {
    const RecordRef& record = At(number);
    return image_.subspan(record.offset, record.length);
}

}  // namespace sim
