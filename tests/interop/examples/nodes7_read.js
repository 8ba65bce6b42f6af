// Reads the demo string in DB1 with nodes7. Start plcdouble first; PLC_PORT overrides 102.
const NodeS7 = require('nodes7');

const connection = new NodeS7({ silent: true });
const options = { host: '127.0.0.1', port: Number(process.env.PLC_PORT || 102), rack: 0, slot: 2 };
connection.initiateConnection(options, (error) => {
    if (error !== undefined) {
        throw error;
    }
    connection.addItems('DB1,S128.32'); // DB1.DBB128: S7 string, max 32
    connection.readAllItems((anythingBad, values) => {
        console.log(anythingBad ? 'read failed' : values['DB1,S128.32']); // Hello there
        connection.dropConnection(() => {});
    });
});
