// Reads the demo string in DB15 with node-snap7. Start plcdouble first; PLC_PORT overrides 102.
const snap7 = require('node-snap7');

const client = new snap7.S7Client();
client.SetParam(client.RemotePort, Number(process.env.PLC_PORT || 102));
client.ConnectTo('127.0.0.1', 0, 2, (error) => { // rack 0, slot 2
    if (error) {
        throw new Error(client.ErrorText(error));
    }
    console.log('PDU length', client.PDULength()); // 480
    client.DBRead(15, 128, 13, (readError, data) => { // DB15.DBB128: S7 string, max 32
        if (readError) {
            throw new Error(client.ErrorText(readError));
        }
        console.log(data.subarray(2, 2 + data[1]).toString('latin1')); // Hello there
        client.Disconnect();
    });
});
