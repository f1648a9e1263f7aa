// Run by loopback.test.mjs inside a network namespace of its own, whose
// loopback has been given multicast and the routes for mDNS (the recipe
// in the README): kelvo, kelvo-web and kelvo-matter, and matter.js's
// commissioning controller as a user would run it, without any of the
// tests' help to reach the device, commissioned by its manual pairing
// code through mDNS and then operated over the operational session it
// finds by mDNS too.  Prints "ok: ..." lines; exits 0 when all passed.
import path from "node:path";

import { Environment, Logger, LogLevel } from "@matter/main";
import { GeneralCommissioning } from "@matter/main/clusters";
import { ManualPairingCodeCodec } from "@matter/main/types";
import { CommissioningController } from "@project-chip/matter.js";

import { Rig, clusters, startStack, until } from "./harness.mjs";

const { Thermostat, BasicInformation } = clusters;
const rig = new Rig("kelvo-matter-loopback-");
let controller;
let status = 1;
try {
    await startStack(rig);
    Logger.level = process.env.MATTER_LOG ? LogLevel.DEBUG : LogLevel.ERROR;
    const env = Environment.default;
    env.vars.set("storage.path", path.join(rig.root, "controller"));
    controller = new CommissioningController({
        environment: { environment: env, id: "stock" },
        autoConnect: false,
        adminFabricLabel: "loopback",
    });
    await controller.start();
    const { shortDiscriminator, passcode } = ManualPairingCodeCodec.decode(rig.pairingCode);
    const nodeId = await controller.commissionNode({
        commissioning: {
            regulatoryLocation: GeneralCommissioning.RegulatoryLocationType.IndoorOutdoor,
            regulatoryCountryCode: "XX",
        },
        discovery: { identifierData: { shortDiscriminator }, discoveryCapabilities: { onIpNetwork: true } },
        passcode,
    });
    console.log(`ok: commissioned as node ${nodeId} by its pairing code`);
    const node = await controller.getNode(nodeId);
    if (!node.isConnected)
        node.connect();
    if (!node.initialized)
        await node.events.initialized;
    const serial = await node.getRootClusterClient(BasicInformation.Complete).attributes.serialNumber.get(true);
    if (serial !== rig.id)
        throw new Error(`read serial number ${serial}, not ${rig.id}`);
    console.log(`ok: read the serial number over the operational session: ${serial}`);
    await rig.sim({ state: "paused", ts_temp: 70 });
    await node.getDeviceById(1).getClusterClient(Thermostat.Complete).attributes.occupiedHeatingSetpoint.set(2389);
    if (!await until(() => rig.outputs().ts_temp === "75", 20_000))
        throw new Error(`kelvo shows ${rig.outputs().ts_temp} after a write of 75 °F`);
    console.log("ok: a set-point write reached kelvo");
    status = 0;
} catch (e) {
    console.log(`failed: ${e instanceof Error ? e.stack : String(e)}`);
    if (rig.matter)
        console.log(rig.matter.output());
} finally {
    await controller?.close().catch(() => undefined);
    await rig.close();
}
process.exit(status);
