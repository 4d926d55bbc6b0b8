// The image of the current phase: finding it among the program's resources, reading record
// headers at the cursor, and the load step with its counting pass.  The image is used where
// the platform keeps it; nothing here copies it or allocates in proportion to it.
#include "app/updater_dlg.h"
#include "download/image_format.h"
#include "host/check.h"
#include "host/debug_log.h"
#include "host/platform.h"
#include "host/resources.h"

namespace {

// Walks the headers from the cursor (at 0) and counts the records; the payloads are jumped
// over, never read.  Every step moves the cursor on by at least the header, so the walk ends
// even on a broken image.  Returns where the walk itself has put the cursor, without the
// cursor's saturation: only a stop by another thread moves m_nImagePos anywhere else.
uint64_t CountRecords(CUpdaterDlg& dlg) {
    uint64_t walked = 0;
    do {
        uint8_t header[image::kHeaderSize] = {};
        uint32_t length = dlg.ReadRecordHeader(header);
        image::AdvanceCursor(dlg.m_nImagePos, length);
        walked += image::kHeaderSize + uint64_t{length};
        ++dlg.m_nRecordCount;
    } while (dlg.m_nImagePos < dlg.m_dwImageSize);
    return walked;
}

// A refused image is forgotten: with no bytes and no records, a walk has nothing to replay
// and a phase end can never mistake it for a confirmed image.
void ForgetImage(CUpdaterDlg& dlg) {
    dlg.m_bImageLoaded = false;
    dlg.m_pImage = nullptr;
    dlg.m_dwImageSize = 0;
    dlg.m_nImagePos = 0;
    dlg.m_nRecordCount = 0;
}

}  // namespace

int CUpdaterDlg::LoadResBuffer(const uint8_t** ppImage, uint32_t* pdwSize) {
    host::Resources& resources = host::CurrentResources();
    host::ResourceModule module = resources.Module();
    if (module == nullptr) {
        host::DebugOut("AfxGetResourceHandle() Error!\r\n");
        return -1;
    }
    int id = m_bFsPhase ? host::kFsImageId : host::kSwImageId;
    host::ResourceId resource = resources.Find(module, host::kBinType, id);
    if (resource == host::kNoResource) {
        host::DebugOut("Find Resource Error!\r\n");
        return -1;
    }
    *pdwSize = resources.SizeOf(module, resource);
    host::DebugOut("Resource size=%ld\r\n", static_cast<long>(*pdwSize));
    *ppImage = resources.Load(module, resource);
    if (*ppImage == nullptr) {
        host::DebugOut("Load Resource Error!\r\n");
        return -1;
    }
    return 0;
}

uint32_t CUpdaterDlg::ReadRecordHeader(uint8_t header[8]) {
    const uint8_t* image = m_pImage;
    uint32_t size = m_dwImageSize;
    for (uint32_t i = 0; i < image::kHeaderSize; ++i) {
        // The cursor moves on for every header byte, also for those past the end, so that a
        // header cut off by the end leaves the cursor beyond the image and stops any walk.
        uint32_t pos = image::AdvanceCursor(m_nImagePos, 1);
        if (image != nullptr && pos < size)
            header[i] = image[pos];
    }
    return image::RecordLength(header);
}

bool CUpdaterDlg::LoadImageStep() {
    if (m_bImageLoaded || !m_bDownloadEnabled)
        return m_bImageLoaded;
    uint32_t size = 0;
    if (LoadResBuffer(&m_pImage, &size) < 0) {
        host::DebugOut("LoadResBuffer Erorr!\r\n");
        // A resource that did not load has left a null address behind; its size must not
        // outlive it, or a walk would read from nowhere.
        if (m_pImage == nullptr)
            m_dwImageSize = 0;
        return false;
    }
    m_dwImageSize = size;
    m_bImageLoaded = true;
    host::DebugOut("LoadResBuffer OK!\r\n");
    m_nRecordCount = 0;
    m_nImagePos = 0;
    uint64_t walked = 0;
    if (size == 0) {
        host::DebugOut("pImage=%d  dwSize=%d  total record=%d \r\n", 0, 0, 0);
    } else {
        walked = CountRecords(*this);
        host::DebugOut("pImage=%d  dwSize=%d  total record=%d \r\n",
                       static_cast<int>(m_nImagePos.load()), static_cast<int>(size),
                       m_nRecordCount);
    }
    image::Check check = image::VerifyImage(m_pImage, size);
    if (!check.ok) {
        host::DebugOut("Image refused: record %u at offset %u: %s\r\n", check.record, check.offset,
                       image::FaultText(check.fault));
        ForgetImage(*this);
        return false;
    }
    // Records that tile the image exactly end the counting pass on its last byte, unless a stop
    // has moved the cursor; anywhere else the count and the checked walk disagree, and the
    // replay would confirm the wrong number of records.
    HOST_CHECK(m_nImagePos != walked || walked == size);
    return true;
}
