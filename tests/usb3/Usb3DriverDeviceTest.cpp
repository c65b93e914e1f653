// The driver-interface objects over the simulated camera: opening and descriptor parsing,
// endpoint facts, transfer headers, control and buffered transfers, time-outs.
#include "SimUsb3Camera.h"
#include "usb3/UsbDriverDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

using namespace qx::usb3;
using namespace std::chrono_literals;
using qx::usb3::sim::SimUsb3Camera;
using qx::usb3::sim::SimUsb3Rig;

TEST(Usb3Driver, OpensAndParsesSuperSpeedCamera) {
    SimUsb3Rig rig;
    UsbDriverDevice dev(rig.backend);
    EXPECT_EQ(dev.deviceCount(), 1);
    ASSERT_TRUE(dev.openDevice(0));
    EXPECT_TRUE(dev.isOpen());
    EXPECT_EQ(dev.DevPath, "usb:sim-1");
    EXPECT_EQ(dev.VendorID, 0x04B4);
    EXPECT_EQ(dev.ProductID, 0x00F1);
    EXPECT_EQ(dev.BcdUSB, 0x0300);
    EXPECT_EQ(dev.MaxPacketSize, 512u); // 2^9 from bcdUSB 3.0 on
    EXPECT_EQ(dev.LanguageId, 0x0409);
    EXPECT_EQ(dev.Manufacturer, u"Qx Simulated");
    EXPECT_EQ(dev.Product, u"USB3 Camera");
    EXPECT_EQ(dev.SerialNumber, u"SIM0001");
    EXPECT_EQ(dev.USBAddress, 7);
    EXPECT_TRUE(dev.bSuperSpeed);
    ASSERT_NE(dev.bos, nullptr);
    EXPECT_TRUE(dev.bos->hasUsb20Ext);
    EXPECT_TRUE(dev.bos->hasSsCapability);
    EXPECT_FALSE(dev.bos->hasContainerId);
    EXPECT_EQ(rig.camera->descriptorRequests(15), 2u); // head, then whole
    ASSERT_EQ(dev.configs.size(), 1u);
    EXPECT_EQ(dev.configs[0]->interfaces.size(), 1u);
    EXPECT_EQ(dev.configs[0]->interfaces[0].altInterfaces, 1);
    EXPECT_EQ(dev.endpointCount(), 2);
    ASSERT_NE(dev.BulkInEndPt, nullptr);
    EXPECT_EQ(dev.endpointAt(1), dev.BulkInEndPt);
    EXPECT_EQ(dev.BulkInEndPt->Address, 0x81);
    EXPECT_TRUE(dev.BulkInEndPt->bIn);
    EXPECT_EQ(dev.BulkInEndPt->MaxPktSize, 1024u * 16u); // burst 15
    EXPECT_EQ(dev.BulkOutEndPt, nullptr);
    ASSERT_NE(dev.controlEndPoint(), nullptr);
    EXPECT_EQ(dev.controlEndPoint()->XferMode, 0);
    EXPECT_EQ(dev.BulkInEndPt->XferMode, 1);
    EXPECT_EQ(rig.camera->openHandles(), 1);
    dev.releaseDevice();
    EXPECT_FALSE(dev.isOpen());
    EXPECT_EQ(dev.endpointCount(), 0);
    EXPECT_EQ(rig.camera->openHandles(), 0);
}

TEST(Usb3Driver, Usb2CameraHasNoCompanionsAndNoBosRead) {
    SimUsb3Rig rig;
    rig.camera->setBcdUsb(0x0210);
    UsbDriverDevice dev(rig.backend);
    ASSERT_TRUE(dev.openDevice(0));
    EXPECT_EQ(dev.MaxPacketSize, 64u);
    EXPECT_EQ(rig.camera->descriptorRequests(15), 0u);
    EXPECT_EQ(dev.bos, nullptr);
    ASSERT_NE(dev.BulkInEndPt, nullptr);
    EXPECT_EQ(dev.BulkInEndPt->MaxPktSize, 512u);
    EXPECT_EQ(dev.BulkInEndPt->ssmaxburst, 0);
}

TEST(Usb3Driver, OpenIndexBeyondCountFails) {
    SimUsb3Rig rig;
    rig.backend->addCamera(std::make_shared<SimUsb3Camera>("usb:sim-2"));
    UsbDriverDevice dev(rig.backend);
    EXPECT_EQ(dev.deviceCount(), 2);
    EXPECT_FALSE(dev.openDevice(3));
    EXPECT_FALSE(dev.isOpen());
    EXPECT_EQ(dev.DevIndex, 0);
    EXPECT_EQ(rig.camera->openHandles(), 0);
}

TEST(Usb3Driver, BrokenDescriptorTablesFailAndCloseTheHandle) {
    SimUsb3Rig rig;
    rig.camera->setBrokenConfigDescriptor(true);
    UsbDriverDevice dev(rig.backend);
    EXPECT_FALSE(dev.openDevice(0));
    EXPECT_FALSE(dev.isOpen());
    EXPECT_TRUE(dev.configs.empty());
    EXPECT_EQ(rig.camera->openHandles(), 0);

    rig.camera->setBrokenConfigDescriptor(false);
    rig.camera->setBrokenBosDescriptor(true);
    EXPECT_FALSE(dev.openDevice(0));
    EXPECT_EQ(rig.camera->openHandles(), 0);

    rig.camera->setBrokenBosDescriptor(false);
    EXPECT_TRUE(dev.openDevice(0));
}

TEST(Usb3Driver, FailingControlRequestsFailTheOpen) {
    SimUsb3Rig rig;
    rig.camera->setFailControl(true);
    UsbDriverDevice dev(rig.backend);
    EXPECT_FALSE(dev.openDevice(0));
    EXPECT_EQ(rig.camera->openHandles(), 0);
}

TEST(Usb3Driver, MaxPacketSizeFromDescriptor) {
    auto slot = std::make_shared<DriverHandleSlot>();
    UsbEndpointDescriptor d;
    d.bEndpointAddress = 0x82;
    d.bmAttributes = 1;
    d.wMaxPacketSize = 0x1400; // 3 x 1024
    CCyIsocEndPoint plain(slot, d);
    EXPECT_EQ(plain.MaxPktSize, 3072u);
    UsbSsCompanion c;
    c.present = true;
    c.bMaxBurst = 3;
    c.bmAttributes = 1;
    CCyIsocEndPoint ss(slot, d, c);
    EXPECT_EQ(ss.MaxPktSize, 3072u * 4u * 2u);
    d.bmAttributes = 2;
    CCyBulkEndPoint bulk(slot, d, c);
    EXPECT_EQ(bulk.MaxPktSize, 3072u * 4u); // the multiplier is for isochronous only
}

TEST(Usb3Driver, ControlTimeoutInWholeSeconds) {
    EXPECT_EQ(CCyControlEndPoint::headerTimeoutSeconds(500), 1u);
    EXPECT_EQ(CCyControlEndPoint::headerTimeoutSeconds(0), 0u);
    EXPECT_EQ(CCyControlEndPoint::headerTimeoutSeconds(2500), 2u);
    EXPECT_EQ(CCyControlEndPoint::headerTimeoutSeconds(999), 1u);
}

TEST(Usb3Driver, ControlTransferBuildsHeader) {
    SimUsb3Rig rig;
    UsbDriverDevice dev(rig.backend);
    ASSERT_TRUE(dev.openDevice(0));
    CCyControlEndPoint* ep = dev.controlEndPoint();
    ep->Target = 2;
    ep->ReqType = 2;
    ep->Direction = 0;
    ep->ReqCode = 0xFE;
    ep->Value = 0xF000;
    ep->Index = 0;
    ep->TimeOut = 500;
    uint8_t data[3] = {0x7E, 0x43, 0x00};
    UsbOverlapped ov;
    UsbXferContextPtr ctx = ep->BeginDataXfer(data, 3, &ov);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ov.lastError, kErrorIoPending);
    ASSERT_EQ(ctx->buffer.size(), kTransferHeaderSize + 3);
    TransferHeader h;
    ASSERT_TRUE(decodeTransferHeader(ctx->buffer.data(), ctx->buffer.size(), h));
    EXPECT_EQ(h.bmRequestType, 0x42);
    EXPECT_EQ(h.bRequest, 0xFE);
    EXPECT_EQ(h.wValue, 0xF000);
    EXPECT_EQ(h.wLength, 3);
    EXPECT_EQ(h.timeoutSeconds, 1u);
    EXPECT_EQ(h.endpointAddress, 0);
    EXPECT_EQ(h.dataOffset, 38u);
    EXPECT_EQ(h.dataLength, 3u);
    EXPECT_EQ(0, std::memcmp(ctx->buffer.data() + 38, data, 3));
    ASSERT_TRUE(ep->WaitForXfer(&ov, 1000));
    long len = 3;
    EXPECT_TRUE(ep->FinishDataXfer(data, len, &ov, std::move(ctx)));
    EXPECT_EQ(len, 3);
    EXPECT_EQ(ep->NtStatus, 0u);
    EXPECT_EQ(ep->UsbdStatus, 0u);
    ASSERT_EQ(rig.camera->linkWrites().size(), 1u);
}

TEST(Usb3Driver, ControlReadOfDeviceDescriptor) {
    SimUsb3Rig rig;
    UsbDriverDevice dev(rig.backend);
    ASSERT_TRUE(dev.openDevice(0));
    CCyControlEndPoint* ep = dev.controlEndPoint();
    ep->Target = 0;
    ep->ReqType = 0;
    ep->ReqCode = 6;
    ep->Value = 0x0100;
    ep->Index = 0;
    ep->TimeOut = 1000;
    uint8_t buf[18] = {};
    long len = 18;
    ASSERT_TRUE(ep->ControlRead(buf, len));
    EXPECT_EQ(len, 18);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 18), sim::simDeviceDescriptor(0x0300));
}

TEST(Usb3Driver, BufferedInTransferReturningNothingCopiesNothing) {
    SimUsb3Rig rig;
    UsbDriverDevice dev(rig.backend);
    ASSERT_TRUE(dev.openDevice(0));
    CCyControlEndPoint* ep = dev.controlEndPoint();
    ep->Target = 2;
    ep->ReqType = 2;
    ep->ReqCode = 0xFE;
    ep->Value = 0xF000;
    ep->TimeOut = 1000;
    uint8_t buf[64];
    std::memset(buf, 0xCC, sizeof(buf));
    long len = sizeof(buf);
    EXPECT_TRUE(ep->ControlRead(buf, len)); // the camera had nothing queued
    EXPECT_EQ(len, 0);
    for (uint8_t b : buf) ASSERT_EQ(b, 0xCC);
}

TEST(Usb3Driver, ZeroByteIsochronousTransferIsNotStarted) {
    SimUsb3Rig rig;
    UsbDriverDevice dev(rig.backend);
    ASSERT_TRUE(dev.openDevice(0));
    UsbEndpointDescriptor d;
    d.bEndpointAddress = 0x83;
    d.bmAttributes = 1;
    d.wMaxPacketSize = 1024;
    CCyIsocEndPoint iso(dev.handleSlot(), d);
    uint8_t b[1];
    UsbOverlapped ov;
    EXPECT_EQ(iso.BeginDataXfer(b, 0, &ov), nullptr);
    EXPECT_EQ(iso.packetCount(0), 0u);
    EXPECT_EQ(iso.packetCount(1025), 2u);
}

TEST(Usb3Driver, TransferThatNeverCompletesIsAbortedWithinBound) {
    SimUsb3Rig rig;
    rig.camera->setStallLinkReads(true);
    UsbDriverDevice dev(rig.backend);
    ASSERT_TRUE(dev.openDevice(0));
    CCyControlEndPoint* ep = dev.controlEndPoint();
    ep->Target = 2;
    ep->ReqType = 2;
    ep->ReqCode = 0xFE;
    ep->Value = 0xF000;
    ep->TimeOut = 100;
    uint8_t buf[2048];
    long len = sizeof(buf);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(ep->ControlRead(buf, len));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(ep->LastError, kErrorOperationAborted);
    EXPECT_NE(ep->NtStatus, 0u);
    EXPECT_EQ(rig.camera->pendingTransfers(), 0u);
}

TEST(Usb3Driver, ClosedDeviceFailsWithoutReachingTheDriver) {
    SimUsb3Rig rig;
    UsbDriverDevice dev(rig.backend);
    ASSERT_TRUE(dev.openDevice(0));
    CCyControlEndPoint* ep = dev.controlEndPoint();
    CCyBulkEndPoint* bulk = dev.BulkInEndPt;
    dev.closeDevice();
    EXPECT_EQ(rig.camera->openHandles(), 0);
    size_t before = rig.camera->descriptorRequests(1);
    ep->Target = 0;
    ep->ReqType = 0;
    ep->ReqCode = 6;
    ep->Value = 0x0100;
    uint8_t buf[18];
    long len = 18;
    EXPECT_FALSE(ep->ControlRead(buf, len));
    EXPECT_EQ(rig.camera->descriptorRequests(1), before);
    EXPECT_EQ(ep->LastError, kErrorInvalidHandle);
    long blen = 18;
    EXPECT_FALSE(bulk->XferData(buf, blen));
    EXPECT_FALSE(bulk->SetXferSize(4096));
}

TEST(Usb3Driver, BulkTransfersAbortAndXferSize) {
    SimUsb3Rig rig;
    UsbDriverDevice dev(rig.backend);
    ASSERT_TRUE(dev.openDevice(0));
    CCyBulkEndPoint* bulk = dev.BulkInEndPt;
    ASSERT_NE(bulk, nullptr);
    EXPECT_TRUE(bulk->SetXferSize(1000));
    EXPECT_EQ(bulk->XferSize, 16384u);
    std::vector<uint8_t> a(4096), b(4096);
    UsbOverlapped ova, ovb;
    auto ca = bulk->BeginDataXfer(a.data(), 4096, &ova);
    auto cb = bulk->BeginDataXfer(b.data(), 4096, &ovb);
    ASSERT_NE(ca, nullptr);
    ASSERT_NE(cb, nullptr);
    EXPECT_FALSE(bulk->WaitForXfer(&ova, 20)); // the camera streams nothing
    EXPECT_TRUE(bulk->Abort());
    EXPECT_TRUE(bulk->WaitForXfer(&ova, 1000));
    EXPECT_TRUE(bulk->WaitForXfer(&ovb, 1000));
    long la = 4096, lb = 4096;
    EXPECT_FALSE(bulk->FinishDataXfer(a.data(), la, &ova, std::move(ca)));
    EXPECT_FALSE(bulk->FinishDataXfer(b.data(), lb, &ovb, std::move(cb)));
    EXPECT_EQ(la, 0);
    EXPECT_EQ(bulk->LastError, kErrorOperationAborted);
}
