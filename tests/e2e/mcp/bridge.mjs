// Drives the program with the official TypeScript MCP client, for the end-to-end tests.
//
//   node bridge.mjs stdio VERSION BINARY [ARGS...]   starts BINARY ARGS as the client's server
//   node bridge.mjs http VERSION URL TOKEN            talks to a running program's POST /mcp
//
// VERSION is the protocol version the client asks for in initialize. The bridge connects,
// prints {"event":"connected",...} and then reads one command per line on its standard
// input, printing one JSON line per command:
//   {"op":"list"}                                  -> {"tools":[...]}
//   {"op":"call","name":N,"arguments":{...}}       -> {"result":{...}}   (the CallToolResult)
//   {"op":"close_stdin"}  (stdio only)             -> {"exit_code":C,"signal":S,"seconds":T}
// A command that throws prints {"error":TEXT}. The server's standard error goes to ours.
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { StreamableHTTPClientTransport } from '@modelcontextprotocol/sdk/client/streamableHttp.js';
import readline from 'node:readline';

const [mode, version, ...rest] = process.argv.slice(2);

function print(value) {
    process.stdout.write(JSON.stringify(value) + '\n');
}

let transport;
if (mode === 'stdio') {
    const [command, ...args] = rest;
    transport = new StdioClientTransport({ command, args, env: process.env, stderr: 'inherit' });
} else if (mode === 'http') {
    const [url, token] = rest;
    transport = new StreamableHTTPClientTransport(new URL(url), {
        requestInit: { headers: { Authorization: `Bearer ${token}` } }
    });
} else {
    console.error('usage: bridge.mjs stdio|http VERSION ...');
    process.exit(2);
}

// The client always asks for its newest version; the tests choose which one is asked for,
// so that each version the server speaks is negotiated with the real client.
let negotiated = null;
const send = transport.send.bind(transport);
transport.send = (message, options) => {
    if (message.method === 'initialize')
        message = { ...message, params: { ...message.params, protocolVersion: version } };
    return send(message, options);
};
const setProtocolVersion = transport.setProtocolVersion?.bind(transport);
transport.setProtocolVersion = value => {
    negotiated = value;
    setProtocolVersion?.(value);
};

const client = new Client({ name: 'velmar-e2e', version: '1.0.0' });
try {
    await client.connect(transport);
} catch (error) {
    print({ event: 'failed', error: String(error) });
    process.exit(1);
}
// The server process, to see how it ends once its standard input is closed.
const child = mode === 'stdio' ? transport._process : null;
let exited = null;
const exit = child
    ? new Promise(resolve => child.once('exit', (code, signal) => resolve((exited = { code, signal }))))
    : null;

print({
    event: 'connected',
    protocol_version: negotiated,
    server: client.getServerVersion(),
    capabilities: client.getServerCapabilities(),
    instructions: client.getInstructions(),
    pid: child?.pid ?? null
});

const timeout = { timeout: 120000 };
for await (const line of readline.createInterface({ input: process.stdin })) {
    if (!line.trim())
        continue;
    const command = JSON.parse(line);
    try {
        if (command.op === 'list') {
            print({ tools: (await client.listTools(undefined, timeout)).tools });
        } else if (command.op === 'call') {
            print({ result: await client.callTool({ name: command.name, arguments: command.arguments ?? {} }, undefined, timeout) });
        } else if (command.op === 'close_stdin') {
            const started = Date.now();
            child.stdin.end();
            const done = await Promise.race([exit, new Promise(resolve => setTimeout(resolve, 15000))]);
            print(done ? { exit_code: done.code, signal: done.signal, seconds: (Date.now() - started) / 1000 }
                       : { error: 'the server did not end within 15 s of its standard input closing' });
        } else {
            print({ error: `unknown op ${command.op}` });
        }
    } catch (error) {
        print({ error: String(error) });
    }
}
if (child && !exited)
    child.kill('SIGKILL');
await client.close();
